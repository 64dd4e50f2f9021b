// console.h - reading single key presses without echo.
//
// Used on the main thread by the key wait ("Press any key to continue...") and the
// password prompts. On a terminal the keys are read raw (no echo, no line editing, Enter
// arrives as carriage return 13) for the life of a ConsoleKeys object; on anything else
// (a pipe, a file, /dev/null) bytes are read as they come.
#pragma once

#include <memory>

// True when standard input is a terminal whose foreground process group is not this
// process's (started with "&"): such a process must not prompt, since touching the terminal
// would stop it (SIGTTOU, SIGTTIN) until someone brings it to the foreground.
bool platform_console_in_background();
// Gives the terminal back the settings a live ConsoleKeys replaced (no-op otherwise). For
// the signal thread, before a stop signal ends the process in the middle of a prompt.
void platform_console_restore();

class ConsoleKeys {
  public:
    ConsoleKeys();   // switches a terminal to raw input
    ~ConsoleKeys();  // restores it
    ConsoleKeys(const ConsoleKeys&) = delete;
    ConsoleKeys& operator=(const ConsoleKeys&) = delete;

    // The next key's code (0-255), or -1 at end of input, on a read error, or at once when
    // the process runs in a background group of its terminal.
    int read_key();

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};
