// console.cpp - raw key input with termios.
#include "platform/console.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>

struct ConsoleKeys::Saved {
    struct termios settings;
};

ConsoleKeys::ConsoleKeys() {
    struct termios current;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &current) != 0) return;
    saved_ = std::make_unique<Saved>();
    saved_->settings = current;
    struct termios raw = current;
    // Keep ISIG so that Ctrl+C still stops the program while it waits for a key.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL);
    raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR | IGNCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
}

ConsoleKeys::~ConsoleKeys() {
    if (saved_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_->settings);
}

int ConsoleKeys::read_key() {
    unsigned char key;
    for (;;) {
        ssize_t got = read(STDIN_FILENO, &key, 1);
        if (got == 1) return key;
        if (got < 0 && errno == EINTR) continue;
        return -1;
    }
}
