#pragma once

// The runner's side of a run: it holds the run's one board and serves every process of the run on
// it, one request at a time, until the program ends; then it ends the rest of the run.
#include "core/board.h"

#include <sys/types.h>

namespace boardsim::run {

struct run_result {
    int program_status = 0;     // the program's exit status, or 128 + the signal that ended it
    bool reached = false;       // the program came onto the board
    bool off_the_board = false; // a process was about to start a program off the board
};

// Serves the board on `control` (the runner's end of the channel handed to the program) until the
// program `pid` ends. `self_pipe` carries the signals the runner caught: SIGCHLD, and those it passes
// on to the program (written down in the trace when they come).
run_result serve(detail::board &b, int control, int self_pipe, pid_t pid);

} // namespace boardsim::run
