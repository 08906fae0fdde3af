// The in-process view of the board: what tests read back from the model.
#include "board.h"

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
    return current() == nullptr ? "" : detail::finish_run(*current());
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
    for (int fd : current()->open_order)
        paths.push_back(current()->files.at(fd).path);
    return paths;
}

std::optional<gpio_state> gpio(int line) {
    if (current() == nullptr) return std::nullopt;
    const auto it = current()->devices.gpio.find(line);
    if (it == current()->devices.gpio.end()) return std::nullopt;
    return gpio_state{it->second.exported, it->second.output, it->second.level};
}

std::string fclk_rate_written() {
    return current() == nullptr ? "" : current()->devices.fclk_written;
}
int fclk_exports() {
    return current() == nullptr ? 0 : current()->devices.fclk_exports;
}

spi_port_state spi_port(int bus) {
    if (current() == nullptr || bus < 0 || bus >= detail::chain_count) return {};
    return current()->devices.ports[bus];
}

std::vector<frame> frames(int chain) {
    if (current() == nullptr || chain < 0 || chain >= detail::chain_count) return {};
    return current()->devices.chains[chain].frames;
}

watchdog_state watchdog() {
    return current() == nullptr ? watchdog_state{} : current()->devices.wdt;
}

std::vector<long> vidgen_args() {
    return current() == nullptr ? std::vector<long>{} : current()->devices.vidgen;
}

} // namespace boardsim
