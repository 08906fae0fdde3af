// The watchdog /dev/watchdog0: one opener at a time, the timeout within the driver's range, the
// keep-alives counted, and the operator's stop at the keep-alive the scenario names. Any other
// /dev/watchdog path is the board's and missing, so that the development machine's own watchdog is
// never reached from a simulated run.
#include "model.h"

#include "board_requests.h"

#include <cerrno>
#include <cstring>

namespace boardsim::detail {

namespace {

constexpr std::size_t keepalive_record_limit = 100000;

board_path file(std::string_view rest) {
    return rest == "0" ? board_path{file_kind::watchdog, 0} : board_path{};
}

int open(board &b, const board_path & /*where*/, int /*flags*/) {
    if (!b.setup.watchdog_present) return ENOENT;
    if (b.setup.watchdog_busy || b.devices.watchdog_open) return EBUSY;
    b.devices.watchdog_open = true;
    ++b.devices.wdt.opens;
    return 0;
}

ssize_t read(board & /*b*/, open_file & /*f*/, void * /*buf*/, std::size_t /*count*/) {
    return fail_with(EINVAL);
}

// It expects no data: what is written is kept, nothing more.
ssize_t write(board &b, open_file & /*f*/, const board_event & /*e*/, const void *buf, std::size_t count) {
    const auto *bytes = static_cast<const std::uint8_t *>(buf);
    b.devices.wdt.writes.emplace_back(bytes, bytes + count);
    return static_cast<ssize_t>(count);
}

int ioctl(board &b, open_file & /*f*/, board_event &e, unsigned long request, void *arg) {
    using namespace board_request;
    if (request != wdioc_settimeout && request != wdioc_keepalive && request != wdioc_gettimeout)
        return static_cast<int>(fail_with(ENOTTY));
    e.request_name = name_of(request);
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    watchdog_state &w = b.devices.wdt;
    int value = 0;
    std::memcpy(&value, arg, sizeof value);
    e.argument = argument_kind::pointer;
    e.before = value;
    e.after = value;
    if (request == wdioc_settimeout) {
        w.timeouts_requested.push_back(value);
        const auto seconds = static_cast<std::uint32_t>(value);
        // Refused before the driver sees it: nothing is written back.
        if (seconds < b.setup.watchdog_timeout_min || seconds > b.setup.watchdog_timeout_max)
            return static_cast<int>(fail_with(EINVAL));
        w.timeout = b.setup.watchdog_timeout_readback.value_or(value);
        std::memcpy(arg, &w.timeout, sizeof value);
    } else if (request == wdioc_gettimeout) {
        std::memcpy(arg, &w.timeout, sizeof value);
    } else {
        ++w.keepalives;
        if (w.keepalive_args.size() < keepalive_record_limit) w.keepalive_args.push_back(value);
        if (b.setup.watchdog_stop_after != 0 &&
            static_cast<std::uint64_t>(w.keepalives) == b.setup.watchdog_stop_after)
            b.stop = "after keep-alive " +
                     std::to_string(w.keepalives); // the operator ends the ticker, as kill would
    }
    std::memcpy(&value, arg, sizeof value);
    e.after = value;
    return 0;
}

void close(board &b, open_file & /*f*/) {
    b.devices.watchdog_open = false;
}

} // namespace

const device watchdog_device{"/dev/watchdog", file, open, read, write, ioctl, close};

} // namespace boardsim::detail
