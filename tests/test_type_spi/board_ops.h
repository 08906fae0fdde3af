#pragma once

// The board operations so far, as the trace gives them but without their running numbers, so that a
// case can state the operations it expects from its own start.
#include "../boardsim/board_fixture.h"

inline std::vector<std::string> board_ops() {
    std::vector<std::string> lines = boardsim::trace({.time = false, .fd_numbers = false});
    for (std::string &l : lines) {
        if (l.rfind('#', 0) == 0) l.erase(0, l.find(' ') + 1);
    }
    return lines;
}
