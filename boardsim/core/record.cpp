// The recording backend: every board operation goes to the machine's real board files and is written
// down with its outcome; the waits are real, since the hardware needs them.
#include "core/board.h"

#include <cerrno>
#include <ctime>

namespace boardsim::detail {

namespace {

std::uint64_t sleep_for(std::uint64_t microseconds) {
    timespec left{.tv_sec = static_cast<time_t>(microseconds / 1000000),
                  .tv_nsec = static_cast<long>(microseconds % 1000000) * 1000};
    while (real().nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return microseconds;
}

class recorder final : public backend {
  public:
    int open(board & /*b*/, board_event &e, open_file &f) override {
        f.real_fd = real().open(e.path.c_str(), e.flags, 0);
        return f.real_fd >= 0 ? 0 : -1;
    }

    ssize_t read(board & /*b*/, board_event &e, open_file &f, void *buf) override {
        return real().read(f.real_fd, buf, e.count);
    }

    ssize_t write(board & /*b*/, board_event &e, open_file &f, const void *buf) override {
        return real().write(f.real_fd, buf, e.count);
    }

    int ioctl(board & /*b*/, board_event &e, open_file &f, void *arg) override {
        return real().ioctl(f.real_fd, e.request, arg);
    }

    int close(board & /*b*/, board_event & /*e*/, open_file &f, bool last) override {
        if (!last) return 0;
        const int result = real().close(f.real_fd);
        f.real_fd = -1;
        return result;
    }

    void release(board & /*b*/, open_file &f) override {
        if (f.real_fd >= 0) real().close(f.real_fd);
        f.real_fd = -1;
    }

    // The wait is real; it ends early when the program is gone meanwhile, and the clock says when.
    void pass(board &b, std::uint64_t microseconds) override {
        b.clock_us += (b.sleep != nullptr ? b.sleep : sleep_for)(microseconds);
    }
};

} // namespace

std::unique_ptr<backend> record_backend() {
    return std::make_unique<recorder>();
}

} // namespace boardsim::detail
