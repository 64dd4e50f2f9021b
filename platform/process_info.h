// process_info.h - what the program says about itself and its machine.
//
// Used by the syslog header (process id, computer name) and by the client identification
// that start-up builds for the feed (operating system description). All calls are
// thread-safe and cheap enough to call once at start-up.
#pragma once

#include <cstddef>
#include <string>

unsigned long platform_process_id();
// The computer's name, cut to capacity - 1 characters; empty when it cannot be read.
void platform_computer_name(char* buffer, size_t capacity);
// A product name and architecture, such as "Debian GNU/Linux 12 (bookworm) AMD64": the
// distribution's pretty name followed by " AMD64" or " X86" for those machines (another
// architecture is named as the kernel reports it). Empty when nothing can be read.
std::string platform_os_description();
// Names the calling thread for the system's process tools (top -H, ps -L, debuggers), cut to
// the 15 characters the system keeps. Best effort: a name that cannot be set changes nothing.
void platform_name_current_thread(const char* name);
// Whether the program's standard input is a terminal (someone can press a key).
bool platform_stdin_is_terminal();
