// console.cpp - raw key input from the Windows console.
//
// On a console, line input and echo are switched off for the life of the object; processed
// input stays on, so that Ctrl+C still reaches the console control handler while the
// program waits for a key. ReadConsoleA then returns each key as it is typed, Enter as
// carriage return (13). On a pipe or a file, bytes are read as they come.
#include "platform/console.h"

#include <windows.h>

#include <atomic>

namespace {

// The mode a live ConsoleKeys replaced, for platform_console_restore.
std::atomic<bool> g_mode_replaced{false};
std::atomic<DWORD> g_replaced_mode{0};

}  // namespace

struct ConsoleKeys::Saved {
    DWORD mode;
};

ConsoleKeys::ConsoleKeys() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) return;
    saved_ = std::make_unique<Saved>();
    saved_->mode = mode;
    g_replaced_mode = mode;
    g_mode_replaced = true;
    SetConsoleMode(input,
                   (mode | ENABLE_PROCESSED_INPUT) & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
}

ConsoleKeys::~ConsoleKeys() {
    if (saved_ && g_mode_replaced.exchange(false))
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
}

void platform_console_restore() {
    if (g_mode_replaced.exchange(false))
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_replaced_mode.load());
}

int ConsoleKeys::read_key() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    unsigned char key;
    DWORD got = 0;
    if (saved_) {
        if (!ReadConsoleA(input, &key, 1, &got, nullptr) || got != 1) return -1;
        return key;
    }
    if (!ReadFile(input, &key, 1, &got, nullptr) || got != 1) return -1;
    return key;
}

// A Windows console has no process groups that could stop a background reader: a prompt is
// always safe to show.
bool platform_console_in_background() {
    return false;
}
