// mutex.h - the program's lock types, annotated for Clang's thread-safety analysis
// (thread_annotations.h).
//
// Mutex is a plain std::mutex whose taking and giving back the analysis can see; its
// std::mutex is private, so nothing takes it behind the analysis's back. MutexLock holds it
// for a scope; UniqueMutexLock holds it for a scope that gives it back and takes it again in
// between (the database thread's pass, which writes without the lock). The update queues'
// locks (zel/queues/update_queue.h) are Mutexes; any thread may use these types, and they
// hold no state of their own beyond the lock.
#pragma once

#include <mutex>

#include "zel/base/thread_annotations.h"

class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }

  private:
    std::mutex mutex_;
};

// Holds `mutex` from construction to the end of the scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~MutexLock() RELEASE() { mutex_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

  private:
    Mutex& mutex_;
};

// Holds `mutex` from construction; unlock() gives it back and lock() takes it again, and
// the end of the scope gives it back when it is held. The analysis follows each unlock and
// lock, so a guarded field touched between them is an error.
class SCOPED_CAPABILITY UniqueMutexLock {
  public:
    explicit UniqueMutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) {
        mutex_.lock();
        held_ = true;
    }
    ~UniqueMutexLock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    UniqueMutexLock(const UniqueMutexLock&) = delete;
    UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

    void lock() ACQUIRE() {
        mutex_.lock();
        held_ = true;
    }
    void unlock() RELEASE() {
        held_ = false;
        mutex_.unlock();
    }

  private:
    Mutex& mutex_;
    bool held_ = false;
};
