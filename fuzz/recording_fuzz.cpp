// Arbitrary text against the recording parser. A recording is either taken whole or refused with one
// line "NAME:LINE: <what was expected>" naming a line of the text.
//
// A refusal comes from the line it names: the lines before that one are a recording that is taken,
// and the text up to the end of that line is refused in the same words.
//
// A recording that is taken reads back to itself: each event written as the trace writes its line
// (time, number, call, outcome), those lines read as a recording give the same events, and those
// events write the same lines again. An end, if there is one, is the last event.
#include "base/event.h"
#include "readers/recording.h"
#include "refusal.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using boardsim::detail::board_event;
using boardsim::detail::event_kind;

void check(bool ok) {
    if (!ok) std::abort();
}

// The recording as the trace would write it.
std::string trace_lines(const std::vector<board_event> &events) {
    std::string text;
    for (const board_event &e : events)
        text += boardsim::detail::time_prefix(e.time_us) + boardsim::detail::event_text(e) + "\n";
    return text;
}

// Whether b carries everything of a that the trace line shows: a wait, a signal and the end carry
// no operation number, and open flags count as the trace names them (a 32-bit C library's O_LARGEFILE
// is not shown).
bool same_event(const board_event &a, const board_event &b) {
    const bool numbered =
        a.kind != event_kind::wait && a.kind != event_kind::signal && a.kind != event_kind::end;
    return a.kind == b.kind && (!numbered || a.number == b.number) && a.time_us == b.time_us &&
           a.path == b.path && a.text_file == b.text_file &&
           boardsim::detail::flags_text(a.flags) == boardsim::detail::flags_text(b.flags) &&
           a.count == b.count && a.has_data == b.has_data && a.data == b.data && a.request == b.request &&
           a.request_name == b.request_name && a.argument == b.argument && a.before == b.before &&
           a.after == b.after && a.result == b.result && a.error == b.error && a.injected == b.injected &&
           a.wait_us == b.wait_us && a.note == b.note;
}

// The text's first `lines` lines, each with its line feed.
std::string_view first_lines(std::string_view text, std::size_t lines) {
    std::size_t at = 0;
    for (std::size_t n = 0; n < lines && at < text.size(); ++n)
        at = std::min(text.find('\n', at), text.size() - 1) + 1;
    return text.substr(0, at);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char *>(data), size};
    std::vector<board_event> events;
    const std::string verdict = boardsim::detail::parse_recording(text, "fuzz.rec", events);
    if (!verdict.empty()) {
        const std::size_t line = check_refusal(text, verdict, "fuzz.rec");
        std::vector<board_event> before;
        check(boardsim::detail::parse_recording(first_lines(text, line - 1), "fuzz.rec", before).empty());
        std::vector<board_event> through;
        check(boardsim::detail::parse_recording(first_lines(text, line), "fuzz.rec", through) == verdict);
        return 0;
    }

    for (std::size_t i = 0; i + 1 < events.size(); ++i)
        check(events[i].kind != event_kind::end);

    const std::string written = trace_lines(events);
    std::vector<board_event> again;
    check(boardsim::detail::parse_recording(written, "fuzz.rec", again).empty());
    check(again.size() == events.size());
    for (std::size_t i = 0; i < events.size(); ++i)
        check(same_event(events[i], again[i]));
    check(trace_lines(again) == written);
    return 0;
}
