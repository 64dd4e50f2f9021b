// thread_exit.h - work done when a thread ends, and per-thread objects released then.
//
// C++ thread_local objects with destructors are not safe everywhere: with MinGW-w64 the
// storage of a thread_local can be freed before its destructor runs, which then frees
// garbage. Objects that a thread keeps for itself (caches, scratch buffers) are therefore
// allocated on the heap, reached through a plain thread_local pointer, and released by a
// callback that the system calls at the thread's end (a thread-specific-data destructor on
// POSIX, a fiber-local-storage callback on Windows); the callback touches no thread-local
// storage. Any thread may register; each registration runs once, on the ending thread.
#pragma once

// Calls fn(arg) when the calling thread ends.
void platform_at_thread_exit(void (*fn)(void*), void* arg);

// The calling thread's own T, made on first use and deleted when the thread ends. Tag tells
// apart several objects of one type (for example, two scratch strings).
template <class T, class Tag = T>
T& thread_owned() {
    thread_local T* object = nullptr;
    if (!object) {
        object = new T();
        platform_at_thread_exit([](void* p) { delete static_cast<T*>(p); }, object);
    }
    return *object;
}
