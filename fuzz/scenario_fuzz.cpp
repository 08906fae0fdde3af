// Arbitrary text against the simulated board's scenario parser. A scenario is either taken whole or
// refused with one line "NAME:LINE: <what was expected>" naming a line of the text.
//
// Only the check runs here: loading makes a board active, whose virtual clock would then also serve
// the sleep of libFuzzer's own memory-watch thread, and the board is meant for one thread.
#include "boardsim.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char *>(data), size};
    const std::string verdict = boardsim::check_scenario(text, "fuzz.scn");
    if (!verdict.empty()) {
        static const std::regex refusal{R"(fuzz\.scn:([0-9]+): [^\n]+)"};
        std::smatch m;
        check(std::regex_match(verdict, m, refusal));
        const std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
        const std::size_t line = std::stoul(m[1]);
        check(line >= 1 && line <= lines);
    }
    return 0;
}
