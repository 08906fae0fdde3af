// The board in this process: the in-process library's, or the preload library's used on its own.
#include "core/board.h"
#include "interposer/link.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace boardsim::detail {

namespace {

board_link *runner_link = nullptr;

// A signal for the program, or the run's end, carried out once the call that brought it returns.
void carry_out(board &b) {
    if (b.deliver) {
        const delivery d = *b.deliver;
        b.deliver.reset();
        if (d.then_exit) end_process(run_end::how::signal, d.signal);
        ::raise(d.signal);
    }
    if (!b.ended || b.ended->kind == run_end::how::over) return;
    end_process(b.ended->kind, b.ended->value);
}

class local_link final : public board_link {
  public:
    bool holds(int fd) override { return current() != nullptr && first_process(*current()).fds.contains(fd); }

    int open(const char *path, const board_path &where, int flags) override {
        board &b = *current();
        const int fd = placeholder(flags);
        if (fd < 0) return -1;
        const int result = board_open(b, first_process(b), fd, path, where, flags);
        if (result < 0) {
            const int error = errno;
            real().close(fd);
            errno = error;
        }
        carry_out(b);
        return result;
    }

    ssize_t read(int fd, void *buf, std::size_t count) override {
        board &b = *current();
        const ssize_t n = board_read(b, first_process(b), fd, buf, count);
        carry_out(b);
        return n;
    }

    ssize_t write(int fd, const void *buf, std::size_t count) override {
        board &b = *current();
        const ssize_t n = board_write(b, first_process(b), fd, buf, count);
        carry_out(b);
        return n;
    }

    int ioctl(int fd, unsigned long request, void *arg) override {
        board &b = *current();
        const int result = board_ioctl(b, first_process(b), fd, request, arg);
        carry_out(b);
        return result;
    }

    int close(int fd) override {
        board &b = *current();
        const int result = board_close(b, first_process(b), fd);
        const int error = errno;
        real().close(fd);
        errno = error;
        carry_out(b);
        return result;
    }

    void wait(std::uint64_t microseconds) override {
        board &b = *current();
        board_wait(b, first_process(b), microseconds);
        carry_out(b);
    }

    void copied(int from, int to) override {
        board &b = *current();
        copy_descriptor(b, first_process(b), from, to);
    }

    void dropped(int fd) override {
        board &b = *current();
        drop_descriptor(b, first_process(b), fd);
    }
};

local_link in_process;

} // namespace

board_link *active_link() {
    if (runner_link != nullptr) return runner_link;
    return current() != nullptr ? &in_process : nullptr;
}

void use_runner_link(board_link *link) {
    runner_link = link;
}

int placeholder(int flags) {
    return real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
}

void end_process(run_end::how how, int value) {
    std::fflush(nullptr); // what the program printed so far stays
    switch (how) {
    case run_end::how::signal:
        ::signal(value, SIG_DFL);
        ::raise(value);
        // cppcheck-suppress unreachableCode ; raise returns while the program blocks the signal
        ::_exit(128 + value);
    case run_end::how::status:
        ::_exit(value);
    default:
        ::_exit(status_reset);
    }
}

} // namespace boardsim::detail
