#pragma once

// A request's argument as the trace shows it: the request named from its device's table, and the
// value its argument points at, read and written back at the argument's own width.
#include "base/event.h"
#include "devices/device.h"

#include <cstdint>

namespace boardsim::detail {

// Names the request in e and shows its argument before the request: the value it points at when the
// device knows the request and its number gives a width, the argument itself for a request that
// takes it by value.
void describe_request(board_event &e, const device &d, const void *arg);
// The value the argument points at now, as the device's request shows it; what the driver is to leave
// there.
std::int64_t load_argument(const void *arg, const board_event &e, const device &d);
void store_argument(void *arg, unsigned long request, std::int64_t value);

} // namespace boardsim::detail
