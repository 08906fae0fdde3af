#pragma once

// What a recording run and a replay share: a request described as the trace shows it, its name and
// the value its argument points at, read and written back at the argument's own width.
#include "board.h"

namespace boardsim::detail {

// Names the request in e and shows its argument before the request: the value it points at when the
// request is a known one of a known width, the argument itself for the voltage generator, which
// takes it by value.
void describe_request(board_event &e, const open_file &f, const void *arg);
// The value the argument points at now, or what the driver is to leave there.
std::int64_t load_argument(const void *arg, unsigned long request);
void store_argument(void *arg, unsigned long request, std::int64_t value);

} // namespace boardsim::detail
