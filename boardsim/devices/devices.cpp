// The board's devices in one table, each with the prefix of its paths. A path under none of them is
// not the board's and passes through to the machine. Adding a device is a unit of its own and a row
// here.
#include "devices/device.h"

#include "number.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace boardsim::detail {

namespace {

constexpr std::array<const device *, 5> devices{&gpio_lines, &fclk, &spi_ports, &voltage_generator,
                                                &watchdog_device};

} // namespace

std::span<const device *const> board_devices() {
    return devices;
}

std::size_t rank_of(const device *d) {
    return static_cast<std::size_t>(std::find(devices.begin(), devices.end(), d) - devices.begin());
}

device_states new_device_states() {
    device_states states;
    for (const device *d : devices)
        states.push_back(d->new_state());
    return states;
}

std::optional<board_path> classify(const char *path) {
    const std::string_view p{path};
    for (const device *d : devices) {
        if (!p.starts_with(d->prefix)) continue;
        board_path where = d->file(p.substr(d->prefix.size()));
        where.dev = d;
        return where;
    }
    return std::nullopt;
}

const request_info *find_request(const device &d, unsigned long number) {
    for (const request_info &r : d.requests)
        if (r.number == number) return &r;
    return nullptr;
}

ssize_t fail_with(int error) {
    errno = error;
    return -1;
}

std::optional<int> whole_number(std::string_view text) {
    constexpr std::size_t longest = 6;
    const std::optional<int> value = parse_number<int>(text);
    if (text.size() > longest || !value || *value < 0) return std::nullopt;
    return value;
}

std::optional<long long> attribute_number(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    return parse_number<long long>(text);
}

ssize_t read_attribute(open_file &f, std::string_view content, void *buf, std::size_t count) {
    const std::size_t n = f.offset < content.size() ? std::min(count, content.size() - f.offset) : 0;
    std::memcpy(buf, content.data() + f.offset, n);
    f.offset += n;
    return static_cast<ssize_t>(n);
}

} // namespace boardsim::detail
