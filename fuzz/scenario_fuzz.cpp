// Arbitrary text against the simulated board's scenario parser. A scenario is either taken whole or
// refused with one line "NAME:LINE: <what was expected>" naming a line of the text.
//
// Only the check runs here: loading makes a board active, whose virtual clock would then also serve
// the sleep of libFuzzer's own memory-watch thread, and the board is meant for one thread.
#include "boardsim.h"
#include "refusal.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char *>(data), size};
    const std::string verdict = boardsim::check_scenario(text, "fuzz.scn");
    if (!verdict.empty()) {
        check_refusal(text, verdict, "fuzz.scn");
    }
    return 0;
}
