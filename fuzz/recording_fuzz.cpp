// Arbitrary text against the recording parser. A recording is either taken whole or refused with one
// line "NAME:LINE: <what was expected>" naming a line of the text; every line taken is written back
// the way the trace writes it, and that text reads back to itself.
#include "readers/recording.h"
#include "boardsim.h"
#include "refusal.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

std::string written(const boardsim::detail::board_event &e) {
    return boardsim::detail::event_text(e);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char *>(data), size};
    std::vector<boardsim::detail::board_event> events;
    const std::string verdict = boardsim::detail::parse_recording(text, "fuzz.rec", events);
    check(verdict == boardsim::check_recording(text, "fuzz.rec"));
    if (!verdict.empty()) {
        check_refusal(text, verdict, "fuzz.rec");
        return 0;
    }
    for (const boardsim::detail::board_event &e : events) {
        const std::string once = written(e);
        boardsim::detail::board_event again;
        check(boardsim::detail::parse_event(once, again).empty());
        check(written(again) == once);
    }
    return 0;
}
