// The model backend: the board's files served by their devices, with the kernel's own checks first;
// the clock moved through the scenario's events in time and what the devices do by themselves.
#include "core/board.h"

#include <cerrno>
#include <fcntl.h>

namespace boardsim::detail {

namespace {

class model final : public backend {
  public:
    int open(board &b, board_event &e, open_file &f) override {
        device_context c = context(b);
        const int error = f.where.missing() ? ENOENT : f.where.dev->open(c, f.where, e.flags);
        return error != 0 ? static_cast<int>(fail_with(error)) : 0;
    }

    ssize_t read(board &b, board_event &e, open_file &f, void *buf) override {
        if ((f.flags & O_ACCMODE) == O_WRONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        device_context c = context(b);
        return f.where.dev->read(c, f, buf, e.count);
    }

    ssize_t write(board &b, board_event &e, open_file &f, const void *buf) override {
        if ((f.flags & O_ACCMODE) == O_RDONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        device_context c = context(b);
        return f.where.dev->write(c, f, e, buf, e.count);
    }

    int ioctl(board &b, board_event &e, open_file &f, void *arg) override {
        device_context c = context(b);
        return f.where.dev->ioctl(c, f, e, arg);
    }

    int close(board &b, board_event & /*e*/, open_file &f, bool last) override {
        if (last) release(b, f);
        return 0;
    }

    void release(board &b, open_file &f) override {
        device_context c = context(b);
        f.where.dev->close(c, f);
    }

    // The clock moves to the wait's end, stopping at each of the scenario's settings whose time comes
    // on the way and at each device's own time (the watchdog firing), in the order of their times.
    void pass(board &b, std::uint64_t microseconds) override {
        const std::uint64_t until = b.clock_us + microseconds;
        for (;;) {
            std::optional<std::uint64_t> next;
            const device *due = nullptr;
            if (b.next_event < b.setup.events.size()) next = b.setup.events[b.next_event].at_us;
            const device_context c = context(b);
            for (const device *d : board_devices()) {
                if (d->due == nullptr) continue;
                const std::optional<std::uint64_t> at = d->due(c);
                if (at && (!next || *at < *next)) {
                    next = at;
                    due = d;
                }
            }
            if (!next || *next > until) break;
            b.clock_us = std::max(b.clock_us, *next);
            if (due != nullptr) {
                device_context now = context(b);
                due->expire(now);
                show_notes(b);
                if (b.reset) {
                    reset_board(b, *b.reset);
                    return;
                }
            } else {
                const timed_setting &t = b.setup.events[b.next_event++];
                apply_timed(b.setup, t);
                board_event line{.kind = event_kind::note};
                line.note = "scenario: " + t.text;
                emit(b, std::move(line));
            }
        }
        b.clock_us = until;
    }
};

} // namespace

std::unique_ptr<backend> model_backend() {
    return std::make_unique<model>();
}

} // namespace boardsim::detail
