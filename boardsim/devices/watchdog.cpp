// The watchdog /dev/watchdog0, as the kernel's watchdog core runs its soft watchdog: one opener at a
// time; the first open starts it with the driver's timeout, which stays for the next opener; each
// keep-alive, each write and each timeout taken restart it; a close stops it only after the magic "V"
// (which these programs never write), else it restarts it once more and runs on. When its time runs
// out without a keep-alive, the board resets. The operator's stop comes at the keep-alive the scenario
// names. Any other /dev/watchdog path is the board's and missing, so that the development machine's
// own watchdog is never reached from a simulated run.
#include "devices/device.h"

#include "base/text.h"

#include "board_requests.h"

#include <algorithm>
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

constexpr std::uint64_t second = 1000000;
constexpr std::string_view path = "/dev/watchdog0";

struct dog_state final : device_state {
    watchdog_state seen;
    bool open = false;
    bool running = false;
    bool timeout_set = false; // else the driver's own, the scenario's
    bool magic = false;       // the last write held the magic "V"
    std::uint64_t last_ping_us = 0;
};

dog_state &state(const device_states &states) {
    return state_of<dog_state>(states, watchdog_device);
}

board_path file(std::string_view rest) {
    return rest == "0" ? board_path{.file = watchdog_file} : board_path{};
}

// The timeout in effect, in seconds.
std::uint64_t timeout(const device_context &c, const dog_state &d) {
    return d.timeout_set ? static_cast<std::uint32_t>(d.seen.timeout) : c.setup.watchdog_timeout;
}

void ping(const device_context &c, dog_state &d) {
    d.last_ping_us = c.now_us;
}

int open(device_context &c, const board_path & /*where*/, int /*flags*/) {
    dog_state &d = state(c.states);
    if (!c.setup.watchdog_present) return ENOENT;
    if (c.setup.watchdog_busy || d.open) return EBUSY;
    d.open = true;
    ++d.seen.opens;
    if (!d.timeout_set) d.seen.timeout = static_cast<int>(c.setup.watchdog_timeout);
    if (!d.running) {
        d.running = true;
        ping(c, d);
    }
    return 0;
}

ssize_t read(device_context & /*c*/, open_file & /*f*/, void * /*buf*/, std::size_t /*count*/) {
    return fail_with(EINVAL);
}

// A write keeps it alive, and a "V" in it lets the next close stop it; what is written is kept.
ssize_t write(device_context &c, open_file & /*f*/, const board_event & /*e*/, const void *buf,
              std::size_t count) {
    dog_state &d = state(c.states);
    const auto *bytes = static_cast<const std::uint8_t *>(buf);
    d.seen.writes.emplace_back(bytes, bytes + count);
    d.magic = std::find(bytes, bytes + count, 'V') != bytes + count;
    ping(c, d);
    return static_cast<ssize_t>(count);
}

int ioctl(device_context &c, open_file & /*f*/, const board_event &e, void *arg) {
    using namespace board_request;
    if (find_request(watchdog_device, e.request) == nullptr) return static_cast<int>(fail_with(ENOTTY));
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    dog_state &d = state(c.states);
    watchdog_state &w = d.seen;
    if (!d.timeout_set) w.timeout = static_cast<int>(c.setup.watchdog_timeout);
    int value = 0;
    std::memcpy(&value, arg, sizeof value);
    if (e.request == wdioc_settimeout) {
        w.timeouts_requested.push_back(value);
        const auto seconds = static_cast<std::uint32_t>(value);
        // Refused before the driver sees it: nothing is written back.
        if (seconds < c.setup.watchdog_timeout_min || seconds > c.setup.watchdog_timeout_max)
            return static_cast<int>(fail_with(EINVAL));
        w.timeout = c.setup.watchdog_timeout_readback.value_or(value);
        d.timeout_set = true;
        ping(c, d);
        std::memcpy(arg, &w.timeout, sizeof value);
    } else if (e.request == wdioc_gettimeout) {
        std::memcpy(arg, &w.timeout, sizeof value);
    } else {
        ++w.keepalives;
        ping(c, d);
        if (w.keepalive_args.size() < keepalive_record_limit) w.keepalive_args.push_back(value);
        // The operator ends the ticker, as kill would.
        if (c.setup.watchdog_stop_after != 0 &&
            static_cast<std::uint64_t>(w.keepalives) == c.setup.watchdog_stop_after)
            c.stop = "after keep-alive " + std::to_string(w.keepalives);
    }
    return 0;
}

void close(device_context &c, open_file & /*f*/) {
    dog_state &d = state(c.states);
    d.open = false;
    if (d.magic && c.setup.watchdog_magic_close) {
        d.running = false;
    } else {
        ping(c, d); // "watchdog did not stop!": the kernel keeps it alive once more, and it runs on
    }
    d.magic = false;
}

// ---- its own time ----

std::uint64_t deadline(const device_context &c, const dog_state &d) {
    return d.last_ping_us + timeout(c, d) * second;
}

std::string since(const device_context &c, const dog_state &d) {
    return "last keep-alive at " + seconds_text(d.last_ping_us) + " s, timeout " +
           std::to_string(timeout(c, d)) + " s";
}

std::optional<std::uint64_t> due(const device_context &c) {
    const dog_state &d = state(c.states);
    if (!d.running || !c.setup.watchdog_fires) return std::nullopt;
    return deadline(c, d);
}

void expire(device_context &c) {
    const dog_state &d = state(c.states);
    c.reset = board_reset{.why = "the watchdog reset the board at " + seconds_text(deadline(c, d)) +
                                 " s: " + since(c, d),
                          .path = std::string{path}};
}

std::string end_note(const device_context &c) {
    const dog_state &d = state(c.states);
    if (!d.running) return "";
    if (!c.setup.watchdog_fires)
        return "watchdog: running at the end; it does not reset this board (\"watchdog fires no\")";
    return "watchdog: running at the end: the board would reset at " + seconds_text(deadline(c, d)) + " s (" +
           since(c, d) + ")";
}

// The timeouts the driver took, as text; each keep-alive and the reset, as events.
struct dog_drawing final : device_drawing {
    void draw(const board_event &e, const board_path & /*where*/, std::uint64_t at, wave_sink &out) override {
        if (e.kind == event_kind::reset) out.pulse(at, "watchdog_reset");
        if (e.kind != event_kind::ioctl) return;
        if (e.request == board_request::wdioc_settimeout)
            out.text(at, "watchdog_timeout", std::to_string(e.after));
        if (e.request == board_request::wdioc_keepalive) out.pulse(at, "watchdog_keepalive");
    }
};

// A row with a mark at each keep-alive and an "X" where the board reset.
void chart(const board_event &e, const board_path & /*where*/, chart_sink &out) {
    if (e.kind == event_kind::reset) out.mark(0, "watchdog", e.time_us, 'X');
    if (e.kind == event_kind::ioctl && e.request == board_request::wdioc_keepalive)
        out.mark(0, "watchdog", e.time_us);
}

} // namespace

constexpr device watchdog_device{
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
    .due = due,
    .expire = expire,
    .end_note = end_note,
    .line_driven = nullptr,
    .drawing = [] { return std::unique_ptr<device_drawing>(new dog_drawing); },
    .chart = chart,
    .wave_groups =
        [](std::vector<wave_group> &out) {
            out.push_back({"watchdog", {"watchdog_timeout", "watchdog_keepalive", "watchdog_reset"}});
        },
};

watchdog_state watchdog(const device_states &states) {
    return state(states).seen;
}

} // namespace boardsim::detail
