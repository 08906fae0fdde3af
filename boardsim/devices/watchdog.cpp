// The watchdog /dev/watchdog0: one opener at a time, the timeout within the driver's range, the
// keep-alives counted, and the operator's stop at the keep-alive the scenario names. Any other
// /dev/watchdog path is the board's and missing, so that the development machine's own watchdog is
// never reached from a simulated run.
#include "devices/device.h"

#include "board_requests.h"

#include <array>
#include <cerrno>
#include <cstring>

namespace boardsim::detail {

namespace {

enum file : int { watchdog_file };

constexpr std::size_t keepalive_record_limit = 100000;

// The watchdog's seconds are signed.
constexpr std::array<request_info, 3> requests{{
    {.number = board_request::wdioc_settimeout, .name = "WDIOC_SETTIMEOUT", .signed_value = true},
    {.number = board_request::wdioc_keepalive, .name = "WDIOC_KEEPALIVE", .signed_value = true},
    {.number = board_request::wdioc_gettimeout, .name = "WDIOC_GETTIMEOUT", .signed_value = true},
}};

struct dog_state final : device_state {
    watchdog_state seen;
    bool open = false;
};

dog_state &state(const device_states &states) {
    return state_of<dog_state>(states, watchdog_device);
}

board_path file(std::string_view rest) {
    return rest == "0" ? board_path{.file = watchdog_file} : board_path{};
}

int open(device_context &c, const board_path & /*where*/, int /*flags*/) {
    dog_state &d = state(c.states);
    if (!c.setup.watchdog_present) return ENOENT;
    if (c.setup.watchdog_busy || d.open) return EBUSY;
    d.open = true;
    ++d.seen.opens;
    return 0;
}

ssize_t read(device_context & /*c*/, open_file & /*f*/, void * /*buf*/, std::size_t /*count*/) {
    return fail_with(EINVAL);
}

// It expects no data: what is written is kept, nothing more.
ssize_t write(device_context &c, open_file & /*f*/, const board_event & /*e*/, const void *buf,
              std::size_t count) {
    const auto *bytes = static_cast<const std::uint8_t *>(buf);
    state(c.states).seen.writes.emplace_back(bytes, bytes + count);
    return static_cast<ssize_t>(count);
}

int ioctl(device_context &c, open_file & /*f*/, const board_event &e, void *arg) {
    using namespace board_request;
    if (find_request(watchdog_device, e.request) == nullptr) return static_cast<int>(fail_with(ENOTTY));
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    watchdog_state &w = state(c.states).seen;
    int value = 0;
    std::memcpy(&value, arg, sizeof value);
    if (e.request == wdioc_settimeout) {
        w.timeouts_requested.push_back(value);
        const auto seconds = static_cast<std::uint32_t>(value);
        // Refused before the driver sees it: nothing is written back.
        if (seconds < c.setup.watchdog_timeout_min || seconds > c.setup.watchdog_timeout_max)
            return static_cast<int>(fail_with(EINVAL));
        w.timeout = c.setup.watchdog_timeout_readback.value_or(value);
        std::memcpy(arg, &w.timeout, sizeof value);
    } else if (e.request == wdioc_gettimeout) {
        std::memcpy(arg, &w.timeout, sizeof value);
    } else {
        ++w.keepalives;
        if (w.keepalive_args.size() < keepalive_record_limit) w.keepalive_args.push_back(value);
        // The operator ends the ticker, as kill would.
        if (c.setup.watchdog_stop_after != 0 &&
            static_cast<std::uint64_t>(w.keepalives) == c.setup.watchdog_stop_after)
            c.stop = "after keep-alive " + std::to_string(w.keepalives);
    }
    return 0;
}

void close(device_context &c, open_file & /*f*/) {
    state(c.states).open = false;
}

// The timeouts the driver took, as text; each keep-alive, as an event.
struct dog_drawing final : device_drawing {
    void draw(const board_event &e, const board_path & /*where*/, std::uint64_t at, wave_sink &out) override {
        if (e.kind != event_kind::ioctl) return;
        if (e.request == board_request::wdioc_settimeout)
            out.text(at, "watchdog_timeout", std::to_string(e.after));
        if (e.request == board_request::wdioc_keepalive) out.pulse(at, "watchdog_keepalive");
    }
};

} // namespace

const device watchdog_device{
    .prefix = "/dev/watchdog",
    .text = false,
    .requests = requests,
    .file = file,
    .new_state = [] { return std::unique_ptr<device_state>(new dog_state); },
    .open = open,
    .read = read,
    .write = write,
    .ioctl = ioctl,
    .close = close,
    .drawing = [] { return std::unique_ptr<device_drawing>(new dog_drawing); },
    .chart = nullptr,
};

watchdog_state watchdog(const device_states &states) {
    return state(states).seen;
}

} // namespace boardsim::detail
