// run_state.cpp - storage of the shared run words (see run_state.h).
#include "zel/base/run_state.h"

std::atomic<int> running{0};
std::atomic<int> active_threads{0};
std::atomic<int> database_down{0};
std::atomic<int> exit_code{1};
