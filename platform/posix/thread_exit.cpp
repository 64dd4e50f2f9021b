// thread_exit.cpp - thread-end callbacks with a pthread key (see platform/thread_exit.h).
//
// One key for the process; its value for a thread is that thread's list of callbacks,
// which the key's destructor runs in the order they were registered.
#include "platform/thread_exit.h"

#include <pthread.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

using Callbacks = std::vector<std::pair<void (*)(void*), void*>>;

void run_callbacks(void* value) {
    auto* callbacks = static_cast<Callbacks*>(value);
    for (auto& [fn, arg] : *callbacks)
        fn(arg);
    delete callbacks;
}

pthread_key_t callbacks_key() {
    static pthread_key_t key;
    static std::once_flag once;
    std::call_once(once, [] { pthread_key_create(&key, run_callbacks); });
    return key;
}

}  // namespace

void platform_at_thread_exit(void (*fn)(void*), void* arg) {
    pthread_key_t key = callbacks_key();
    auto* callbacks = static_cast<Callbacks*>(pthread_getspecific(key));
    if (!callbacks) {
        callbacks = new Callbacks();
        pthread_setspecific(key, callbacks);
    }
    callbacks->emplace_back(fn, arg);
}
