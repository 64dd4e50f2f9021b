// system_log.h - the machine's own log, where an operator looks first for a service's messages.
//
// Called by log_message (zel/base/log.cpp) from any thread. The POSIX implementation
// writes through syslog(3) (journald or the syslog daemon collects it); there is no message
// file to register and no failure the caller could act on.
#pragma once

// Reports one message under the program's source name. The severity follows the event
// type of the program's level: 2 is an error, 3 a warning, every other level information.
void platform_system_log(int level, const char* text);

// The source name the messages are reported under.
inline constexpr const char* kSystemLogSource = "Corvalinder Database Application";
