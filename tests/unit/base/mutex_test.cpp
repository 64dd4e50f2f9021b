// The annotated lock types (zel/base/mutex.h) hold and give back the lock when they say
// they do. Whether the lock is free is asked from a second thread (try_lock), as the thread
// that holds a std::mutex may not ask.
#include "zel/base/mutex.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
