// The recording backend: every board operation goes to the machine's real board files and is written
// down with its outcome; the waits are real, since the hardware needs them. A program ended by a
// signal leaves the signal as the recording's last line.
#include "core/board.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <unistd.h>

namespace boardsim::detail {

namespace {

constexpr std::array<int, 4> ending_signals{SIGTERM, SIGINT, SIGHUP, SIGQUIT};

// The line a killed program's recording ends with, then the signal's own action. Only what is safe
// in a signal handler: digits by hand and write.
void record_signal(int sig) {
    board *b = current();
    if (b != nullptr) {
        char line[80];
        std::size_t n = 0;
        auto put = [&](std::string_view text) {
            for (const char c : text)
                if (n < sizeof line - 1) line[n++] = c;
        };
        auto put_number = [&](std::uint64_t v, std::size_t width, char fill) {
            char digits[24];
            std::size_t d = 0;
            do {
                digits[d++] = static_cast<char>('0' + v % 10);
                v /= 10;
            } while (v != 0);
            while (d < width)
                digits[d++] = fill;
            while (d > 0)
                put(std::string_view{&digits[--d], 1});
        };
        put("[");
        put_number(b->clock_us / 1000000, 5, ' ');
        put(".");
        put_number(b->clock_us % 1000000, 6, '0');
        put("] signal ");
        const char *name = signal_name(sig);
        put(name != nullptr ? name : "SIG?");
        line[n++] = '\n';
        for (const int fd : {b->trace_fd, b->record_fd})
            if (fd >= 0) [[maybe_unused]]
                const ssize_t w = real().write(fd, line, n);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

class recorder final : public backend {
  public:
    recorder() {
        for (const int sig : ending_signals) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
                ::signal(sig, record_signal);
        }
    }

    int open(board &b, board_event &e, const board_path &where) override {
        const int fd = real().open(e.path.c_str(), e.flags, 0);
        if (fd >= 0) track_descriptor(b, fd, e.path.c_str(), where, e.flags);
        return fd;
    }

    ssize_t read(board & /*b*/, board_event &e, open_file & /*f*/, int fd, void *buf) override {
        return real().read(fd, buf, e.count);
    }

    ssize_t write(board & /*b*/, board_event &e, open_file & /*f*/, int fd, const void *buf) override {
        return real().write(fd, buf, e.count);
    }

    int ioctl(board & /*b*/, board_event &e, open_file & /*f*/, int fd, void *arg) override {
        return real().ioctl(fd, e.request, arg);
    }

    int close(board & /*b*/, board_event & /*e*/, open_file & /*f*/, int released) override {
        return released;
    }

    void shown(board & /*b*/, const board_event &e) override {
        if (e.kind != event_kind::wait) return;
        timespec left{.tv_sec = static_cast<time_t>(e.wait_us / 1000000),
                      .tv_nsec = static_cast<long>(e.wait_us % 1000000) * 1000};
        while (real().nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
};

} // namespace

std::unique_ptr<backend> record_backend() {
    return std::make_unique<recorder>();
}

} // namespace boardsim::detail
