// console.h - reading single key presses without echo.
//
// Used on the main thread by the key wait ("Press any key to continue...") and the
// password prompts. On a terminal the keys are read raw (no echo, no line editing, Enter
// arrives as carriage return 13) for the life of a ConsoleKeys object; on anything else
// (a pipe, a file, /dev/null) bytes are read as they come.
#pragma once

#include <memory>

class ConsoleKeys {
  public:
    ConsoleKeys();   // switches a terminal to raw input
    ~ConsoleKeys();  // restores it
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    // The next key's code (0-255), or -1 at end of input or on a read error.
    int read_key();

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
