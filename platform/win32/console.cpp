// console.cpp - raw key input from the Windows console.
//
// On a console, line input and echo are switched off for the life of the object; processed
// input stays on, so that Ctrl+C still reaches the console control handler while the
// program waits for a key. ReadConsoleA then returns each key as it is typed, Enter as
// carriage return (13). On a pipe or a file, bytes are read as they come.
#include "platform/console.h"

#include <windows.h>

struct ConsoleKeys::Saved {
    DWORD mode;
};

ConsoleKeys::ConsoleKeys() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) return;
    saved_ = std::make_unique<Saved>();
    saved_->mode = mode;
    SetConsoleMode(input,
                   (mode | ENABLE_PROCESSED_INPUT) & ~(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT));
}

ConsoleKeys::~ConsoleKeys() {
    if (saved_) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_->mode);
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
