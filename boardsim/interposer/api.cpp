// The in-process view of the board: what tests read back from the model.
#include "boardsim.h"
#include "core/board.h"
#include "readers/recording.h"

#include <algorithm>

namespace boardsim {

using detail::current;

bool active() {
    return current() != nullptr;
}

std::string check_scenario(std::string_view text, std::string_view name) {
    detail::scenario s;
    return detail::parse_scenario(text, name, s);
}

std::string check_recording(std::string_view text, std::string_view name) {
    std::vector<detail::board_event> events;
    return detail::parse_recording(text, name, events);
}

std::vector<std::string> trace(trace_format format) {
    std::vector<std::string> lines;
    if (current() == nullptr) return lines;
    for (std::string line : current()->trace) {
        if (!format.time) line.erase(0, line.find("] ") + 2);
        if (!format.fd_numbers) {
            const std::size_t at = line.rfind(" = fd ");
            if (at != std::string::npos &&
                std::all_of(line.begin() + static_cast<std::ptrdiff_t>(at + 6), line.end(),
                            [](char c) { return c >= '0' && c <= '9'; }))
                line.erase(at + 5);
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

void clear_trace() {
    if (current() != nullptr) current()->trace.clear();
}

std::string finish() {
    if (current() == nullptr) return "";
    detail::show_end_notes(*current());
    return detail::finish_run(*current());
}

std::uint64_t clock_us() {
    return current() == nullptr ? 0 : current()->clock_us;
}

void fail_op(std::uint64_t n) {
    if (current() != nullptr) current()->fail_at = n == 0 ? 0 : current()->ops + n;
}

std::uint64_t op_count() {
    return current() == nullptr ? 0 : current()->ops;
}

std::vector<std::string> open_files() {
    std::vector<std::string> paths;
    if (current() == nullptr) return paths;
    for (const auto &[number, file] : current()->files)
        if (file.holders > 0) paths.push_back(file.path);
    return paths;
}

std::optional<gpio_state> gpio(int line) {
    return current() == nullptr ? std::nullopt : detail::gpio_line(current()->devices, line);
}

std::string fclk_rate_written() {
    return current() == nullptr ? "" : detail::fclk_rate_written(current()->devices);
}
int fclk_exports() {
    return current() == nullptr ? 0 : detail::fclk_exports(current()->devices);
}

spi_port_state spi_port(int bus) {
    return current() == nullptr ? spi_port_state{} : detail::spi_port(current()->devices, bus);
}

std::vector<frame> frames(int chain) {
    return current() == nullptr ? std::vector<frame>{} : detail::chain_frames(current()->devices, chain);
}

watchdog_state watchdog() {
    return current() == nullptr ? watchdog_state{} : detail::watchdog(current()->devices);
}

std::vector<long> vidgen_args() {
    return current() == nullptr ? std::vector<long>{} : detail::vidgen_args(current()->devices);
}

} // namespace boardsim
