// The model backend: the board's files served by their devices, with the kernel's own checks first.
#include "core/board.h"

#include <cerrno>
#include <fcntl.h>

namespace boardsim::detail {

namespace {

device_context context(board &b) {
    return device_context{.setup = b.setup, .states = b.devices, .now_us = b.clock_us, .stop = b.stop};
}

class model final : public backend {
  public:
    int open(board &b, board_event &e, const board_path &where) override {
        device_context c = context(b);
        const int error = where.missing() ? ENOENT : where.dev->open(c, where, e.flags);
        if (error != 0) return static_cast<int>(fail_with(error));
        return open_descriptor(b, e.path.c_str(), where, e.flags);
    }

    ssize_t read(board &b, board_event &e, open_file &f, int /*fd*/, void *buf) override {
        if ((f.flags & O_ACCMODE) == O_WRONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        device_context c = context(b);
        return f.where.dev->read(c, f, buf, e.count);
    }

    ssize_t write(board &b, board_event &e, open_file &f, int /*fd*/, const void *buf) override {
        if ((f.flags & O_ACCMODE) == O_RDONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        device_context c = context(b);
        return f.where.dev->write(c, f, e, buf, e.count);
    }

    int ioctl(board &b, board_event &e, open_file &f, int /*fd*/, void *arg) override {
        device_context c = context(b);
        return f.where.dev->ioctl(c, f, e, arg);
    }

    int close(board &b, board_event & /*e*/, open_file &f, int /*released*/) override {
        device_context c = context(b);
        f.where.dev->close(c, f);
        return 0;
    }
};

} // namespace

std::unique_ptr<backend> model_backend() {
    return std::make_unique<model>();
}

} // namespace boardsim::detail
