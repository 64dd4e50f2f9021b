// thread_exit.cpp - thread-end callbacks with fiber-local storage (see
// platform/thread_exit.h).
//
// One FLS index for the process; its value for a thread is that thread's list of
// callbacks. Windows calls the index's callback with the value when the thread ends,
// independently of the C runtime's thread-local storage.
#include "platform/thread_exit.h"

#include <windows.h>

#include <mutex>
#include <utility>
#include <vector>

namespace {

using Callbacks = std::vector<std::pair<void (*)(void*), void*>>;

void WINAPI run_callbacks(void* value) {
    auto* callbacks = static_cast<Callbacks*>(value);
    if (!callbacks) return;
    for (auto& [fn, arg] : *callbacks)
        fn(arg);
    delete callbacks;
}

DWORD callbacks_index() {
    static DWORD index;
    static std::once_flag once;
    std::call_once(once, [] { index = FlsAlloc(run_callbacks); });
    return index;
}

}  // namespace

void platform_at_thread_exit(void (*fn)(void*), void* arg) {
    DWORD index = callbacks_index();
    if (index == FLS_OUT_OF_INDEXES) return;  // the objects then live until the process ends
    auto* callbacks = static_cast<Callbacks*>(FlsGetValue(index));
    if (!callbacks) {
        callbacks = new Callbacks();
        FlsSetValue(index, callbacks);
    }
    callbacks->emplace_back(fn, arg);
}
