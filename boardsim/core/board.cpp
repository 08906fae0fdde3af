// The board's life and its operations: numbered, perhaps made to fail, answered by the backend,
// shown, and the descriptors kept.
#include "core/board.h"

#include "core/argument.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace boardsim::detail {

namespace {

board *the_board = nullptr;

void release_board() {
    for (const auto &[fd, file] : the_board->files)
        real().close(fd);
    delete the_board;
    the_board = nullptr;
}

// The run reached a limit of the scenario: one line saying why, and the program is stopped.
[[noreturn]] void stop_at_limit(board &b, const std::string &limit, std::uint64_t value, const char *unit,
                                const char *key) {
    const std::string amount = std::to_string(value) + " " + unit;
    std::string line = "boardsim: the run reached its " + limit + " of " + amount;
    line.append(" and was stopped (\"run ").append(key).append("\" in a scenario sets it)\n");
    [[maybe_unused]] const ssize_t n = real().write(2, line.data(), line.size());
    stop_program(b, "at the " + limit + " of " + amount);
}

// A new board operation: counted, numbered, picked or not by fault injection.
board_event operation(board &b, event_kind kind, const std::string &path, const board_path &where) {
    if (b.setup.operation_limit != 0 && b.ops >= b.setup.operation_limit)
        stop_at_limit(b, "operation limit", b.setup.operation_limit, "board operations", "operation-limit");
    board_event e;
    e.kind = kind;
    e.path = path;
    e.text_file = where.dev->text;
    e.number = ++b.ops;
    e.injected = b.fail_at != 0 && b.ops == b.fail_at;
    return e;
}

// The operation's outcome, shown; then what a device or the backend asks for once it shows. errno
// stays as the call left it.
long show(board &b, board_event &e, long result) {
    const int error = errno;
    e.result = result;
    e.error = result < 0 ? error : 0;
    emit(b, e);
    if (b.stop) stop_program(b, *b.stop);
    b.answers->shown(b, e);
    errno = error;
    return result;
}

long injected(int error) {
    errno = error;
    return -1;
}

int forget_descriptor(board &b, int fd) {
    b.files.erase(fd);
    std::erase(b.open_order, fd);
    return real().close(fd);
}

} // namespace

board *current() {
    return the_board;
}

void activate(scenario setup, std::unique_ptr<backend> answers, bool keep_trace, int trace_fd,
              int record_fd) {
    if (the_board != nullptr) {
        if (the_board->trace_fd >= 0 && the_board->trace_fd != trace_fd) real().close(the_board->trace_fd);
        release_board();
    }
    the_board = new board{};
    the_board->fail_at = setup.fail_op;
    the_board->setup = std::move(setup);
    the_board->answers = std::move(answers);
    the_board->keep_trace = keep_trace;
    the_board->trace_fd = trace_fd;
    the_board->record_fd = record_fd;
}

void deactivate_board() {
    if (the_board != nullptr) release_board();
}

void emit(board &b, board_event e) {
    e.time_us = b.clock_us;
    const std::string line = time_prefix(b.clock_us) + event_text(e);
    if (b.keep_trace) b.trace.push_back(line);
    const std::string with_end = line + "\n";
    for (const int fd : {b.trace_fd, b.record_fd}) {
        if (fd >= 0) [[maybe_unused]]
            const ssize_t n = real().write(fd, with_end.data(), with_end.size());
    }
    for (const std::unique_ptr<event_writer> &w : b.writers)
        w->write(e);
}

bool is_board_fd(int fd) {
    return the_board != nullptr && the_board->files.contains(fd);
}

void track_descriptor(board &b, int fd, const char *path, const board_path &where, int flags) {
    b.files[fd] = open_file{path, where, flags, 0};
    b.open_order.push_back(fd);
}

int open_descriptor(board &b, const char *path, const board_path &where, int flags) {
    // A real descriptor keeps the number unique among the program's own.
    const int fd = real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0) track_descriptor(b, fd, path, where, flags);
    return fd;
}

int board_open(const char *path, const board_path &where, int flags) {
    board &b = *the_board;
    board_event e = operation(b, event_kind::open, path, where);
    e.flags = flags;
    const long fd = e.injected ? injected(ENOENT) : b.answers->open(b, e, where);
    return static_cast<int>(show(b, e, fd));
}

ssize_t board_read(int fd, void *buf, std::size_t count) {
    board &b = *the_board;
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::read, f.path, f.where);
    e.count = count;
    const ssize_t n = e.injected ? injected(EIO) : b.answers->read(b, e, f, fd, buf);
    if (n > 0)
        e.data.assign(static_cast<const std::uint8_t *>(buf), static_cast<const std::uint8_t *>(buf) + n);
    return show(b, e, n);
}

ssize_t board_write(int fd, const void *buf, std::size_t count) {
    board &b = *the_board;
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::write, f.path, f.where);
    e.count = count;
    e.has_data = buf != nullptr;
    if (buf != nullptr)
        e.data.assign(static_cast<const std::uint8_t *>(buf), static_cast<const std::uint8_t *>(buf) + count);
    return show(b, e, e.injected ? injected(EIO) : b.answers->write(b, e, f, fd, buf));
}

int board_ioctl(int fd, unsigned long request, void *arg) {
    board &b = *the_board;
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::ioctl, f.path, f.where);
    e.request = request;
    e.request_name = "request";
    if (e.injected) return static_cast<int>(show(b, e, injected(EIO)));
    const device &d = *f.where.dev;
    describe_request(e, d, arg);
    const bool shows_pointer = e.argument == argument_kind::pointer;
    const int result = b.answers->ioctl(b, e, f, fd, arg);
    // What the request left where its argument points, as the program sees it.
    if (shows_pointer && e.argument == argument_kind::pointer) {
        const int error = errno;
        e.after = load_argument(arg, e, d);
        errno = error;
    }
    return static_cast<int>(show(b, e, result));
}

int board_close(int fd) {
    board &b = *the_board;
    open_file f = b.files.at(fd);
    board_event e = operation(b, event_kind::close, f.path, f.where);
    // Like Linux, the descriptor is gone even when close reports an error.
    const int released = forget_descriptor(b, fd);
    return static_cast<int>(show(b, e, e.injected ? injected(EIO) : b.answers->close(b, e, f, released)));
}

void board_wait(std::uint64_t microseconds) {
    board &b = *the_board;
    const std::uint64_t limit = b.setup.time_limit_us;
    if (limit != 0 && (b.clock_us > limit || microseconds > limit - b.clock_us))
        stop_at_limit(b, "time limit", limit / 1000000, "s of board time", "time-limit");
    board_event e{.kind = event_kind::wait};
    e.wait_us = microseconds;
    b.answers->wait(b, e);
    emit(b, e);
    // The clock moves first, so that a signal during a wait is written down at the time a replay,
    // which passes the wait at once, sends it.
    b.clock_us += microseconds;
    b.answers->shown(b, e);
}

std::string finish_run(board &b) {
    board_event end{.kind = event_kind::end};
    end.note = "still open: ";
    if (b.open_order.empty()) end.note += "none";
    for (std::size_t i = 0; i < b.open_order.size(); ++i) {
        if (i > 0) end.note += ", ";
        end.note += b.files.at(b.open_order[i]).path;
    }
    end.note += "; " + std::to_string(b.ops) + " board operations";
    std::string text = call_text(end);
    emit(b, std::move(end));
    return text;
}

void program_ended(board &b) {
    b.answers->end(b);
    finish_run(b);
}

void stop_program(board &b, const std::string &why) {
    board_event signal{.kind = event_kind::signal};
    signal.note = "SIGTERM " + why;
    emit(b, signal);
    finish_run(b);
    ::signal(SIGTERM, SIG_DFL);
    ::raise(SIGTERM);
    // cppcheck-suppress unreachableCode ; raise returns while the program blocks SIGTERM
    ::_exit(128 + SIGTERM);
}

} // namespace boardsim::detail
