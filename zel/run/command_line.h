// command_line.h - the entry point's work: the command line, the immediate answers
// (--help, --status) and the choice of run mode; plus the console interactions the run
// modes share (the key wait, the password prompt).
//
// Everything here runs on the main thread, before and after the program's other threads.
#pragma once

#include <cstdio>
#include <string>

#include "zel/base/config.h"

// What the command line asks for once it has been read.
enum CommandLineResult {
    COMMAND_LINE_RUN = -1,       // go on with the run mode the flags select
    COMMAND_LINE_EXIT_OK = 0,    // --help was answered
    COMMAND_LINE_EXIT_ERROR = 1  // an argument error was reported
};

// Reads the arguments after the program name into `config`: clears the mode flags first,
// forces interactive mode for check and import, then sets the defaults that do not come
// from the configuration file. Help text and argument errors are printed to `out`.
int parse_command_line(int argc, char** argv, Config& config, FILE* out);

// The help text of --help, byte for byte (it ends with an empty line).
extern const char* const kHelpText;

// The whole program after main(): parse, answer or run, and return the exit code.
int zel_main(int argc, char** argv);

// Prints "Press any key to continue...\n" and waits for one key (end of input counts).
void press_any_key();

// Prints `prompt`, reads keys without echo until Enter or 511 characters, prints "\n".
// Every other key, backspace included, is kept as typed. An empty answer leaves `out`
// empty, which means no password.
void read_password(const char* prompt, std::string* out);
