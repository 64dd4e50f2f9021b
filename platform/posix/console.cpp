// console.cpp - raw key input with termios.
//
// The settings a ConsoleKeys object replaced are also kept in one process-wide slot, so
// that a stop signal that ends the program while it waits for a key (the signal thread's
// default action) can give the terminal its echo back first: otherwise Ctrl+C at the
// password prompt leaves the shell without echo. Only the main thread makes ConsoleKeys
// objects; the slot is read by the signal thread, hence the atomic flag.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {
struct termios g_restore_settings;  // valid while g_restore_armed
std::atomic<bool> g_restore_armed{false};
}  // namespace

struct ConsoleKeys::Saved {
    struct termios settings;
};

bool platform_console_in_background() {
    if (!isatty(STDIN_FILENO)) return false;
    pid_t foreground = tcgetpgrp(STDIN_FILENO);
    return foreground >= 0 && foreground != getpgrp();
}

void platform_console_restore() {
    if (g_restore_armed.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &g_restore_settings);
}

ConsoleKeys::ConsoleKeys() {
    struct termios current;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &current) != 0) return;
    // A process in a background group that changes the terminal is stopped by SIGTTOU.
    if (platform_console_in_background()) return;
    saved_ = std::make_unique<Saved>();
    saved_->settings = current;
    g_restore_settings = current;
    g_restore_armed = true;
    struct termios raw = current;
    // Keep ISIG so that Ctrl+C still stops the program while it waits for a key.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

ConsoleKeys::~ConsoleKeys() {
    if (!saved_) return;
    g_restore_armed = false;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
}

int ConsoleKeys::read_key() {
    // Reading the terminal from a background group stops the process (SIGTTIN).
    if (platform_console_in_background()) return -1;
    unsigned char key;
    for (;;) {
        ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) return key;
        if (got < 0 && errno == EINTR) continue;
        return -1;
    }
}
