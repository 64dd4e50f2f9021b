// main.cpp - the program's entry point; the work begins in zel_main (zel/run).
#include "zel/run/command_line.h"

int main(int argc, char** argv) {
    return zel_main(argc, argv);
}
