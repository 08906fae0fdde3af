#pragma once

// The runner's board for this process (remote.cpp).
#include <string>

namespace boardsim::detail {

// Comes onto the runner's board through the control channel the runner handed the program; false
// when the runner does not answer.
bool join_runner(int control);
// The process ends by itself.
void leave_runner();
// A program about to be started off the board, and why: the runner fails the run.
void report_off_the_board(const std::string &what);
bool on_runner_board();

} // namespace boardsim::detail
