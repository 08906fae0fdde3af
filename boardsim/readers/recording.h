#pragma once

// A recording: the trace's lines read back as board events, for a replay.
#include "base/event.h"

#include <string>
#include <string_view>
#include <vector>

namespace boardsim::detail {

// Reads a recording. Returns "" or "NAME:LINE: expected ...".
std::string parse_recording(std::string_view text, std::string_view name, std::vector<board_event> &out);

} // namespace boardsim::detail
