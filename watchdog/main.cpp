// watchdog: sets the hardware watchdog's timeout (-t), or keeps the watchdog fed at a fixed period
// (-p, or none: without pause) until a signal ends it.
#include "board_requests.h"
#include "decimal.h"
#include "log_line.h"
#include "vexa.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

int watchdog_fd = -1;

namespace {

constexpr const char *watchdog_path = "/dev/watchdog0";

// Levels of the board log: the one given to vexa_log_init, that of what the watchdog set and of its
// ticking (sent only while the threshold lets them through), and that of a failure (sent whatever the
// threshold holds).
constexpr int log_level_at_init = 0;
constexpr int log_level_note = 1;
constexpr int log_level_failure = 5;

constexpr char usage_text[] =
    "-t <n> to set the timeout,\n-p <n> to set the ping rate, and \nrun by itself to tick the card.\n";
static_assert(sizeof usage_text - 1 == 93);

// Closes the device on every way out of main; the tick loop never leaves, so a ticking run keeps it.
struct device_holder {
    device_holder() = default;
    device_holder(const device_holder &) = delete;
    device_holder &operator=(const device_holder &) = delete;
    ~device_holder() {
        if (watchdog_fd >= 0) ::close(watchdog_fd);
        watchdog_fd = -1;
    }
};

int usage() {
    std::fwrite(usage_text, 1, sizeof usage_text - 1, stderr);
    std::fflush(stderr);
    return 0;
}

bool is_option(const char *arg, const char *option) {
    return ::strncasecmp(arg, option, 2) == 0;
}

[[noreturn]] void tick(int period) {
    for (;;) {
        int keepalive = 0;
        ::ioctl(watchdog_fd, board_request::wdioc_keepalive, &keepalive);
        ::sleep(static_cast<unsigned>(period));
    }
}

} // namespace

int main(int argc, char **argv) {
    log_buffer line;
    vexa_log_init(log_level_at_init, "watchdog");

    // The device is opened before the arguments are looked at: when it cannot be had, nothing the
    // command line asks for can be done, and that is the one thing worth reporting.
    watchdog_fd = ::open(watchdog_path, O_WRONLY);
    if (watchdog_fd == -1) {
        log_ungated(line, log_level_failure, 1, "%s watchdog device can't be enabled.", watchdog_path);
        return 0;
    }
    const device_holder device;

    int period = 0;
    if (argc > 1) {
        if (is_option(argv[1], "-t")) {
            if (argc < 3) return usage();
            const int requested = parse_decimal(argv[2]);
            int timeout = requested;
            if (::ioctl(watchdog_fd, board_request::wdioc_settimeout, &timeout) == -1) {
                // The driver keeps the timeout it had. Said as loudly as a missing device: a boot
                // script goes on to start the ticker, at a period chosen for the timeout asked for.
                log_ungated(line, log_level_failure, 1, "Watchdog timeout can't be set to %d seconds: %s.",
                            requested, std::strerror(errno));
                return 0;
            }
            log_gated(line, log_level_note, 1, "Watchdog timeout set to %d seconds.\n", timeout);
            return 0;
        }
        if (!is_option(argv[1], "-p") || argc < 3) return usage();
        period = parse_decimal(argv[2]);
        // sleep() would take a negative period as about 136 years, and the board would reset.
        if (period < 0) return usage();
        log_gated(line, log_level_note, 1, "Watchdog ping rate set to %d seconds.\n", period);
    }

    log_gated(line, log_level_note, 1, "%s", "Watchdog Ticking Away!");
    tick(period);
}
