// The SPI ports /dev/spidevN.0 with the chips of chain N behind each: the six configuration
// requests, each write one transfer into the chips, each read one out of them.
#include "model.h"

#include "board_requests.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace boardsim::detail {

namespace {

// spidev's transfer buffer (its bufsiz parameter); a longer read or write is refused whole.
constexpr std::size_t transfer_max = 4096;

struct request_info {
    unsigned long number;
    spi_request which;
};
constexpr std::array<request_info, 6> requests{{
    {board_request::spi_wr_mode, spi_request::wr_mode},
    {board_request::spi_rd_mode, spi_request::rd_mode},
    {board_request::spi_wr_bits, spi_request::wr_bits},
    {board_request::spi_rd_bits, spi_request::rd_bits},
    {board_request::spi_wr_speed, spi_request::wr_speed},
    {board_request::spi_rd_speed, spi_request::rd_speed},
}};

// "B.C": bus B, chip select C; the board's ports are chip select 0.
board_path file(std::string_view rest) {
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) return {};
    const std::optional<int> bus = whole_number(rest.substr(0, dot));
    const std::optional<int> cs = whole_number(rest.substr(dot + 1));
    if (!bus || cs != 0) return {};
    return {file_kind::spidev, *bus};
}

int open(board &b, const board_path &where, int /*flags*/) {
    return where.index >= 0 && where.index < chain_count && b.setup.ports[where.index].present ? 0 : ENOENT;
}

ssize_t read(board &b, open_file &f, void *buf, std::size_t count) {
    if (count > transfer_max) return fail_with(EMSGSIZE);
    const int bus = f.where.index;
    if (++b.devices.chains[bus].reads > b.setup.chains[bus].reads_ok.value_or(UINT64_MAX))
        return fail_with(EIO);
    chips_send(b, bus, static_cast<std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

ssize_t write(board &b, open_file &f, const board_event & /*e*/, const void *buf, std::size_t count) {
    if (count > transfer_max) return fail_with(EMSGSIZE);
    const int bus = f.where.index;
    if (++b.devices.chains[bus].writes > b.setup.chains[bus].writes_ok.value_or(UINT64_MAX))
        return fail_with(EIO);
    chips_receive(b, bus, static_cast<const std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

int ioctl(board &b, open_file &f, board_event &e, unsigned long request, void *arg) {
    const request_info *info = nullptr;
    for (const request_info &r : requests)
        if (r.number == request) info = &r;
    if (info == nullptr) return static_cast<int>(fail_with(ENOTTY));
    e.request_name = board_request::name_of(request);
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));

    // The speed is 32 bits wide, the mode and the word size 8.
    const bool speed = info->which == spi_request::wr_speed || info->which == spi_request::rd_speed;
    auto get = [&]() -> std::uint32_t {
        std::uint32_t v = 0;
        if (speed)
            std::memcpy(&v, arg, sizeof v);
        else
            v = *static_cast<std::uint8_t *>(arg);
        return v;
    };
    auto put = [&](std::uint32_t v) {
        if (speed)
            std::memcpy(arg, &v, sizeof v);
        else
            *static_cast<std::uint8_t *>(arg) = static_cast<std::uint8_t>(v);
    };

    e.argument = argument_kind::pointer;
    e.before = get();
    int result = 0;
    const port_setup &p = b.setup.ports[f.where.index];
    spi_port_state &state = b.devices.ports[f.where.index];
    if (p.fail_request == info->which || (info->which == spi_request::wr_speed && get() == 0)) {
        result = static_cast<int>(fail_with(EINVAL));
    } else {
        switch (info->which) {
        case spi_request::wr_mode:
            state.mode = static_cast<std::uint8_t>(get());
            break;
        case spi_request::wr_bits:
            state.bits = static_cast<std::uint8_t>(get());
            break;
        case spi_request::wr_speed:
            state.speed = get();
            break;
        case spi_request::rd_mode:
            put(p.mode_readback.value_or(state.mode));
            break;
        case spi_request::rd_bits:
            put(p.bits_readback.value_or(state.bits));
            break;
        case spi_request::rd_speed:
            put(p.speed_readback.value_or(state.speed));
            break;
        case spi_request::none:
            break;
        }
    }
    e.after = get();
    return result;
}

void close(board & /*b*/, open_file & /*f*/) {}

} // namespace

const device spi_ports{"/dev/spidev", file, open, read, write, ioctl, close};

} // namespace boardsim::detail
