// The board's life and its operations: numbered, perhaps made to fail, answered by the backend,
// shown; the open files and each process's descriptors kept; the run's end.
#include "core/board.h"

#include "core/argument.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>

namespace boardsim::detail {

namespace {

board *the_board = nullptr;

void release_board() {
    for (auto &[number, file] : the_board->files)
        if (file.real_fd >= 0) real().close(file.real_fd);
    if (the_board->own_descriptors)
        for (const std::unique_ptr<process> &p : the_board->processes)
            for (const auto &[fd, number] : p->fds)
                real().close(fd);
    delete the_board;
    the_board = nullptr;
}

// The run reached a limit of the scenario: the program is stopped, with one line saying why.
void stop_at_limit(board &b, const std::string &limit, std::uint64_t value, const char *unit,
                   const char *key) {
    const std::string amount = std::to_string(value) + " " + unit;
    std::string line = "boardsim: the run reached its " + limit + " of " + amount;
    line.append(" and was stopped (\"run ").append(key).append("\" in a scenario sets it)");
    say(line);
    stop_program(b, "at the " + limit + " of " + amount);
}

// A process's number and its line, at its first call on the board.
void announce(board &b, process &p) {
    if (p.number != 0) return;
    p.number = ++b.last_number;
    board_event line{.kind = event_kind::note};
    line.note = "process " + std::to_string(p.number) + ": " + p.command;
    emit(b, std::move(line));
}

// A new board operation of the process: counted, numbered, picked or not by fault injection; nothing
// once the run has ended, or when this operation would pass the run's operation limit.
std::optional<board_event> operation(board &b, process &p, event_kind kind, const std::string &path,
                                     const board_path &where) {
    if (b.ended) return std::nullopt;
    if (b.setup.operation_limit != 0 && b.ops >= b.setup.operation_limit) {
        stop_at_limit(b, "operation limit", b.setup.operation_limit, "board operations", "operation-limit");
        return std::nullopt;
    }
    announce(b, p);
    board_event e;
    e.kind = kind;
    e.process = p.number;
    e.path = path;
    e.text_file = where.dev->text;
    e.number = ++b.ops;
    e.injected = b.fail_at != 0 && b.ops == b.fail_at;
    return e;
}

} // namespace

void show_notes(board &b) {
    std::vector<std::string> notes;
    notes.swap(b.notes);
    for (std::string &text : notes) {
        board_event line{.kind = event_kind::note};
        line.note = std::move(text);
        emit(b, std::move(line));
    }
}

namespace {

// What a call that the board does not take gives the program: the run has ended.
long run_over() {
    errno = EIO;
    return -1;
}

// The operation's outcome, shown; then what a device or the backend asks for once it shows. errno
// stays as the call left it.
long show(board &b, board_event &e, long result) {
    const int error = errno;
    e.result = result;
    e.error = result < 0 ? error : 0;
    emit(b, e);
    show_notes(b);
    if (b.reset) {
        reset_board(b, *b.reset);
    } else if (b.stop) {
        stop_program(b, *b.stop);
    } else {
        b.answers->shown(b, e);
    }
    errno = error;
    return result;
}

long injected(int error) {
    errno = error;
    return -1;
}

// A descriptor that lets go of its file; true when it was the last to hold it.
bool let_go(board &b, process &p, int fd) {
    const auto it = p.fds.find(fd);
    if (it == p.fds.end()) return false;
    open_file &f = b.files.at(it->second);
    p.fds.erase(it);
    return --f.holders == 0;
}

open_file *file_of(board &b, process &p, int fd) {
    const auto it = p.fds.find(fd);
    return it == p.fds.end() ? nullptr : &b.files.at(it->second);
}

// "still open: A, B" or "still open: none": the files that descriptors hold now, in the order opened.
std::string still_open(const board &b, const process *only = nullptr) {
    std::string text = "still open: ";
    bool any = false;
    for (const auto &[number, file] : b.files) {
        if (file.holders == 0) continue;
        if (only != nullptr && std::none_of(only->fds.begin(), only->fds.end(),
                                            [n = number](const auto &fd) { return fd.second == n; }))
            continue;
        if (any) text += ", ";
        text += file.path;
        any = true;
    }
    return text + (any ? "" : "none");
}

} // namespace

board *current() {
    return the_board;
}

void activate(scenario setup, std::unique_ptr<backend> answers, bool keep_trace, bool own_descriptors) {
    if (the_board != nullptr) release_board();
    the_board = new board{};
    the_board->fail_at = setup.fail_op;
    the_board->setup = std::move(setup);
    the_board->answers = std::move(answers);
    the_board->keep_trace = keep_trace;
    the_board->own_descriptors = own_descriptors;
    the_board->processes.push_back(std::make_unique<process>());
}

void deactivate_board() {
    if (the_board != nullptr) release_board();
}

device_context context(board &b) {
    return device_context{.setup = b.setup,
                          .states = b.devices,
                          .now_us = b.clock_us,
                          .stop = b.stop,
                          .reset = b.reset,
                          .notes = &b.notes};
}

void emit(board &b, board_event e, std::optional<std::uint64_t> at) {
    e.time_us = at.value_or(b.clock_us);
    if (b.keep_trace) b.trace.push_back(time_prefix(e.time_us) + event_text(e));
    for (const std::unique_ptr<event_writer> &w : b.writers)
        w->write(e);
}

process &first_process(board &b) {
    return *b.processes.front();
}

process &add_process(board &b, int pid, std::string command, const std::map<int, std::uint32_t> &inherited) {
    auto p = std::make_unique<process>();
    p->number = 0;
    p->pid = pid;
    p->command = std::move(command);
    for (const auto &[fd, number] : inherited) {
        const auto it = b.files.find(number);
        if (it == b.files.end()) continue;
        ++it->second.holders;
        p->fds.emplace(fd, number);
    }
    b.processes.push_back(std::move(p));
    return *b.processes.back();
}

void process_ended(board &b, process &p) {
    if (p.number > 1 && !b.ended) {
        board_event line{.kind = event_kind::note};
        line.note = "process " + std::to_string(p.number) + " ends";
        if (!p.fds.empty()) line.note += ": " + still_open(b, &p);
        emit(b, std::move(line));
    }
    while (!p.fds.empty()) {
        const std::uint32_t number = p.fds.begin()->second;
        if (let_go(b, p, p.fds.begin()->first)) {
            b.answers->release(b, b.files.at(number));
            b.files.erase(number);
        }
    }
}

void exec_process(board &b, process &p, std::string command) {
    std::vector<int> closing;
    for (const auto &[fd, number] : p.fds)
        if ((b.files.at(number).flags & O_CLOEXEC) != 0) closing.push_back(fd);
    for (const int fd : closing) {
        const std::uint32_t number = p.fds.at(fd);
        if (let_go(b, p, fd)) {
            b.answers->release(b, b.files.at(number));
            b.files.erase(number);
        }
    }
    p.command = std::move(command);
    if (p.number > 1) {
        board_event line{.kind = event_kind::note};
        line.note = "process " + std::to_string(p.number) + ": " + p.command;
        emit(b, std::move(line));
    }
}

int board_open(board &b, process &p, int fd, const char *path, const board_path &where, int flags) {
    std::optional<board_event> e = operation(b, p, event_kind::open, path, where);
    if (!e) return static_cast<int>(run_over());
    e->flags = flags;
    open_file f{.path = path, .where = where, .flags = flags};
    long result = -1;
    if (e->injected) {
        result = injected(ENOENT);
    } else if (b.answers->open(b, *e, f) == 0 && !b.ended) {
        const std::uint32_t number = b.next_file++;
        f.holders = 1;
        b.files.emplace(number, std::move(f));
        p.fds[fd] = number;
        result = fd;
    }
    if (b.ended) return static_cast<int>(run_over()); // a replay departed here
    return static_cast<int>(show(b, *e, result));
}

ssize_t board_read(board &b, process &p, int fd, void *buf, std::size_t count) {
    open_file *f = file_of(b, p, fd);
    std::optional<board_event> e =
        f == nullptr ? std::nullopt : operation(b, p, event_kind::read, f->path, f->where);
    if (!e) return run_over();
    e->count = count;
    const ssize_t n = e->injected ? injected(EIO) : b.answers->read(b, *e, *f, buf);
    if (b.ended) return run_over();
    if (n > 0)
        e->data.assign(static_cast<const std::uint8_t *>(buf), static_cast<const std::uint8_t *>(buf) + n);
    return show(b, *e, n);
}

ssize_t board_write(board &b, process &p, int fd, const void *buf, std::size_t count) {
    open_file *f = file_of(b, p, fd);
    std::optional<board_event> e =
        f == nullptr ? std::nullopt : operation(b, p, event_kind::write, f->path, f->where);
    if (!e) return run_over();
    e->count = count;
    e->has_data = buf != nullptr;
    if (buf != nullptr)
        e->data.assign(static_cast<const std::uint8_t *>(buf),
                       static_cast<const std::uint8_t *>(buf) + count);
    const ssize_t n = e->injected ? injected(EIO) : b.answers->write(b, *e, *f, buf);
    if (b.ended) return run_over();
    return show(b, *e, n);
}

int board_ioctl(board &b, process &p, int fd, unsigned long request, void *arg) {
    open_file *f = file_of(b, p, fd);
    std::optional<board_event> e =
        f == nullptr ? std::nullopt : operation(b, p, event_kind::ioctl, f->path, f->where);
    if (!e) return static_cast<int>(run_over());
    e->request = request;
    e->request_name = "request";
    if (e->injected) return static_cast<int>(show(b, *e, injected(EIO)));
    const device &d = *f->where.dev;
    describe_request(*e, d, arg);
    const bool shows_pointer = e->argument == argument_kind::pointer;
    const int result = b.answers->ioctl(b, *e, *f, arg);
    if (b.ended) return static_cast<int>(run_over());
    // What the request left where its argument points, as the program sees it.
    // A replay's answer replaces the event, the kind of its argument too.
    // cppcheck-suppress knownConditionTrueFalse
    if (shows_pointer && e->argument == argument_kind::pointer) {
        const int error = errno;
        e->after = load_argument(arg, *e, d);
        errno = error;
    }
    return static_cast<int>(show(b, *e, result));
}

int board_close(board &b, process &p, int fd) {
    open_file *f = file_of(b, p, fd);
    std::optional<board_event> e =
        f == nullptr ? std::nullopt : operation(b, p, event_kind::close, f->path, f->where);
    if (!e) {
        // The descriptor goes all the same, as Linux lets it go even when close reports an error.
        if (f != nullptr) let_go(b, p, fd);
        return static_cast<int>(run_over());
    }
    const std::uint32_t number = p.fds.at(fd);
    // Like Linux, the descriptor is gone even when close reports an error.
    const bool last = let_go(b, p, fd);
    const long result = e->injected ? injected(EIO) : b.answers->close(b, *e, b.files.at(number), last);
    if (last) {
        if (e->injected) b.answers->release(b, b.files.at(number));
        b.files.erase(number);
    }
    if (b.ended) return static_cast<int>(run_over());
    return static_cast<int>(show(b, *e, result));
}

void drop_descriptor(board &b, process &p, int fd) {
    const auto it = p.fds.find(fd);
    if (it == p.fds.end()) return;
    const std::uint32_t number = it->second;
    if (let_go(b, p, fd)) {
        b.answers->release(b, b.files.at(number));
        b.files.erase(number);
    }
}

void copy_descriptor(board &b, process &p, int from, int to) {
    if (from == to) return;
    const auto it = p.fds.find(from);
    if (it == p.fds.end()) return;
    const std::uint32_t number = it->second;
    drop_descriptor(b, p, to);
    p.fds[to] = number;
    ++b.files.at(number).holders;
}

void board_wait(board &b, process &p, std::uint64_t microseconds) {
    if (b.ended) return;
    const std::uint64_t limit = b.setup.time_limit_us;
    if (limit != 0 && (b.clock_us > limit || microseconds > limit - b.clock_us)) {
        stop_at_limit(b, "time limit", limit / 1000000, "s of board time", "time-limit");
        return;
    }
    announce(b, p);
    board_event e{.kind = event_kind::wait};
    e.process = p.number;
    e.wait_us = microseconds;
    b.answers->wait(b, e);
    if (b.ended) return;
    emit(b, e);
    b.answers->pass(b, microseconds);
    if (!b.ended) b.answers->shown(b, e);
}

std::string finish_run(board &b) {
    board_event end{.kind = event_kind::end};
    end.note = still_open(b) + "; " + std::to_string(b.ops) + " board operations";
    std::string text = call_text(end);
    emit(b, std::move(end));
    return text;
}

namespace {

// The last lines: every file let go, as the kernel lets go of them when the processes end; what the
// devices are left doing; the end line, which names the files that were still open.
void close_run(board &b) {
    const std::string open_at_end = still_open(b);
    for (const std::unique_ptr<process> &p : b.processes)
        while (!p->fds.empty()) {
            const std::uint32_t number = p->fds.begin()->second;
            if (let_go(b, *p, p->fds.begin()->first)) {
                b.answers->release(b, b.files.at(number));
                b.files.erase(number);
            }
        }
    show_end_notes(b);
    board_event end{.kind = event_kind::end};
    end.note = open_at_end + "; " + std::to_string(b.ops) + " board operations";
    emit(b, std::move(end));
}

void signal_line(board &b, int sig, const std::string &why = "",
                 std::optional<std::uint64_t> at = std::nullopt) {
    const char *name = signal_name(sig);
    if (name == nullptr) return;
    board_event line{.kind = event_kind::signal};
    line.note = name + (why.empty() ? "" : " " + why);
    emit(b, std::move(line), at);
    b.last_signal = sig;
}

} // namespace

void show_end_notes(board &b) {
    device_context c = context(b);
    for (const device *d : board_devices()) {
        if (d->end_note == nullptr) continue;
        board_event note{.kind = event_kind::note};
        note.note = d->end_note(c);
        if (!note.note.empty()) emit(b, std::move(note));
    }
}

void program_ended(board &b) {
    if (b.ended) return;
    b.answers->end(b);
    if (b.ended) return;
    close_run(b);
    b.ended = run_end{};
}

void program_killed(board &b, int sig) {
    if (b.ended) return;
    if (b.last_signal != sig) signal_line(b, sig);
    b.answers->end(b);
    if (b.ended) return;
    close_run(b);
    b.ended = run_end{.kind = run_end::how::signal, .value = sig};
}

void signal_arrived(board &b, int sig, std::uint64_t at) {
    if (!b.ended) signal_line(b, sig, "", at);
}

void stop_program(board &b, const std::string &why) {
    if (b.ended) return;
    signal_line(b, SIGTERM, why);
    close_run(b);
    b.ended = run_end{.kind = run_end::how::signal, .value = SIGTERM};
}

void reset_board(board &b, const board_reset &reset) {
    if (b.ended) return;
    say("boardsim: " + reset.why);
    board_event line{.kind = event_kind::reset};
    line.path = reset.path;
    line.note = reset.why;
    emit(b, line);
    finish_run(b);
    b.ended = run_end{.kind = run_end::how::reset, .value = status_reset};
}

void say(const std::string &line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = real().write(2, text.data(), text.size());
}

} // namespace boardsim::detail
