#include "readers/recording.h"

namespace boardsim::detail {

std::string parse_recording(std::string_view text, std::string_view name, std::vector<board_event> &out) {
    std::vector<board_event> events;
    std::size_t line_no = 0;
    bool ended = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++line_no;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        const std::string where = std::string{name} + ":" + std::to_string(line_no) + ": ";
        if (ended) return where + "expected nothing after the end: line";
        board_event e;
        if (const std::string error = parse_event(line, e); !error.empty()) return where + error;
        ended = e.kind == event_kind::end;
        events.push_back(std::move(e));
    }
    out = std::move(events);
    return "";
}

} // namespace boardsim::detail
