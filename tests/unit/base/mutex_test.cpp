// The annotated lock types (zel/base/mutex.h) hold and give back the lock when they say
// they do. Whether the lock is free is asked from a second thread (try_lock), as the thread
// that holds a std::mutex may not ask.
#include "zel/base/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

bool free_for_others(Mutex& mutex) {
    bool taken = false;
    std::thread other([&] {
        taken = mutex.try_lock();
        if (taken) mutex.unlock();
    });
    other.join();
    return taken;
}

TEST(Mutex, ScopedLocksHoldForTheirScopeAndUniqueLockGivesBackOnlyWhatItHolds) {
    Mutex mutex;
    {
        MutexLock hold(mutex);
        EXPECT_FALSE(free_for_others(mutex));
    }
    EXPECT_TRUE(free_for_others(mutex));

    {
        UniqueMutexLock lock(mutex);
        EXPECT_FALSE(free_for_others(mutex));
        lock.unlock();
        EXPECT_TRUE(free_for_others(mutex));
        lock.lock();
        EXPECT_FALSE(free_for_others(mutex));
    }
    EXPECT_TRUE(free_for_others(mutex));

    // Ended while given back: the end of the scope must not give it back a second time,
    // which would free the lock another thread holds by then.
    {
        UniqueMutexLock lock(mutex);
        lock.unlock();
        mutex.lock();
    }
    EXPECT_FALSE(free_for_others(mutex));
    mutex.unlock();
}

TEST(CondVar, WaitGivesTheLockBackWhileWaitingAndHoldsItAgainOnReturn) {
    Mutex mutex;
    CondVar changed;
    bool ready = false;  // guarded by mutex
    std::atomic<bool> started{false};
    std::atomic<bool> waiter_holds{false};
    std::atomic<bool> released{false};

    std::thread waiter([&] {
        UniqueMutexLock lock(mutex);
        started = true;
        while (!ready)
            changed.wait(mutex);
        waiter_holds = true;
        while (!released)
            std::this_thread::yield();
    });
    while (!started)
        std::this_thread::yield();
    {
        // The waiter holds the lock from `started` until it waits: this gets it only
        // because the wait gave it back.
        MutexLock hold(mutex);
        ready = true;
        changed.notify_one();
    }
    while (!waiter_holds)
        std::this_thread::yield();
    EXPECT_FALSE(free_for_others(mutex));  // the waiter holds it again
    released = true;
    waiter.join();
    EXPECT_TRUE(free_for_others(mutex));
}

TEST(CondVar, WaitForReportsTheTimeoutAndStillHoldsTheLock) {
    Mutex mutex;
    CondVar never;
    UniqueMutexLock lock(mutex);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(never.wait_for(mutex, std::chrono::milliseconds(30)));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(30));
    EXPECT_FALSE(free_for_others(mutex));
    lock.unlock();
    EXPECT_TRUE(free_for_others(mutex));
}

}  // namespace
