// The board's paths: each device's prefix, in one table. A path under none of them is not the
// board's and passes through to the machine.
#include "model.h"

#include <array>

namespace boardsim::detail {

namespace {

constexpr std::array<const device *, 5> devices{&gpio_lines, &fclk, &spi_ports, &voltage_generator,
                                                &watchdog_device};

} // namespace

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

} // namespace boardsim::detail
