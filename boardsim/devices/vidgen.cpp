// The voltage generator /dev/vidgen0.0: its one request, which takes its argument by value.
#include "devices/device.h"

#include "board_requests.h"

#include <array>
#include <cerrno>
#include <cstdio>

namespace boardsim::detail {

namespace {

enum file : int { generator_file };

constexpr std::array<request_info, 1> requests{{
    {.number = board_request::vidgen_set, .name = "VIDGEN_SET", .by_value = true},
}};

struct generator_state final : device_state {
    std::vector<long> requested; // each request's argument, in order
};

board_path file(std::string_view rest) {
    return rest == "0.0" ? board_path{.file = generator_file} : board_path{};
}

int open(device_context &c, const board_path & /*where*/, int /*flags*/) {
    return c.setup.vidgen_present ? 0 : ENOENT;
}

ssize_t read(device_context & /*c*/, open_file & /*f*/, void * /*buf*/, std::size_t /*count*/) {
    return fail_with(EINVAL);
}

ssize_t write(device_context & /*c*/, open_file & /*f*/, const board_event & /*e*/, const void * /*buf*/,
              std::size_t /*count*/) {
    return fail_with(EINVAL);
}

int ioctl(device_context &c, open_file & /*f*/, const board_event &e, void *arg) {
    if (e.request != board_request::vidgen_set) return static_cast<int>(fail_with(ENOTTY));
    state_of<generator_state>(c.states, voltage_generator)
        .requested.push_back(static_cast<long>(reinterpret_cast<std::uintptr_t>(arg)));
    return c.setup.vidgen_fail ? static_cast<int>(fail_with(EINVAL)) : 0;
}

void close(device_context & /*c*/, open_file & /*f*/) {}

// Each request's argument, as text.
struct generator_drawing final : device_drawing {
    void draw(const board_event &e, const board_path & /*where*/, std::uint64_t at, wave_sink &out) override {
        if (e.kind != event_kind::ioctl || e.argument != argument_kind::value) return;
        char hex[24];
        std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(e.before));
        out.text(at, "vidgen_value", hex);
    }
};

} // namespace

constexpr device voltage_generator{
    .prefix = "/dev/vidgen",
    .text = false,
    .requests = requests,
    .file = file,
    .new_state = [] { return std::unique_ptr<device_state>(new generator_state); },
    .open = open,
    .read = read,
    .write = write,
    .ioctl = ioctl,
    .close = close,
    .due = nullptr,
    .expire = nullptr,
    .end_note = nullptr,
    .line_driven = nullptr,
    .drawing = [] { return std::unique_ptr<device_drawing>(new generator_drawing); },
    .chart = nullptr,
    .wave_groups =
        [](std::vector<wave_group> &out) {
            out.push_back({"voltage", {"vidgen_value"}});
        },
};

std::vector<long> vidgen_args(const device_states &states) {
    return state_of<generator_state>(states, voltage_generator).requested;
}

} // namespace boardsim::detail
