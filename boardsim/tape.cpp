// Recording and replay. A recording run passes every board operation to the machine's real board
// files and writes down what came back; a replay run answers each operation with the next one
// written down, and stops the program where it departs from it.
#include "model.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <linux/ioctl.h>
#include <unistd.h>

namespace boardsim::detail {

namespace {

constexpr std::array<int, 4> ending_signals{SIGTERM, SIGINT, SIGHUP, SIGQUIT};

std::uint64_t low_bytes(std::int64_t value, std::size_t size) {
    const auto v = static_cast<std::uint64_t>(value);
    return size >= 8 ? v : v & ((std::uint64_t{1} << (8 * size)) - 1);
}

// The width of what a request's argument points at, when the trace can show it as a number.
std::size_t argument_size(unsigned long request) {
    const std::size_t size = _IOC_SIZE(request);
    return size == 1 || size == 2 || size == 4 || size == 8 ? size : 0;
}

std::int64_t load(const void *arg, std::size_t size, bool is_signed) {
    if (arg == nullptr || size == 0 || size > 8) return 0;
    std::uint64_t raw = 0;
    std::memcpy(&raw, arg, size); // little-endian, as every machine these tools run on
    if (is_signed && size < 8 && (raw >> (8 * size - 1)) != 0) raw |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(raw);
}

void store(void *arg, std::size_t size, std::int64_t value) {
    if (arg == nullptr || size == 0 || size > 8) return;
    const std::uint64_t raw = low_bytes(value, size);
    std::memcpy(arg, &raw, size);
}

// The watchdog's seconds are signed; the port settings are not.
bool signed_argument(unsigned long request) {
    return ((request >> _IOC_TYPESHIFT) & _IOC_TYPEMASK) == 'W';
}

// ---- record ----

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

void real_wait(std::uint64_t microseconds) {
    timespec left{.tv_sec = static_cast<time_t>(microseconds / 1000000),
                  .tv_nsec = static_cast<long>(microseconds % 1000000) * 1000};
    while (real().nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// ---- replay ----

[[noreturn]] void depart(std::uint64_t number, const board_event *recorded, const std::string &did) {
    std::fflush(nullptr); // what the program printed so far stays
    std::string line = "boardsim: replay departs at operation #" + std::to_string(number) + ": recorded ";
    line += recorded != nullptr ? "\"" + call_text(*recorded) + "\"" : "nothing more";
    line += ", the program " + did + "\n";
    [[maybe_unused]] const ssize_t w = real().write(2, line.data(), line.size());
    ::_exit(status_departed);
}

// A signal that ended the recorded run right here is sent to the program now.
void signal_if_recorded(board &b) {
    while (b.replayed < b.recorded.size() && b.recorded[b.replayed].kind == event_kind::signal) {
        const board_event &r = b.recorded[b.replayed++];
        emit(b, r);
        // The model's own stop ends its trace before the signal; a recording of it does too.
        if (b.replayed < b.recorded.size() && b.recorded[b.replayed].kind == event_kind::end) finish();
        if (const int sig = signal_number(std::string_view{r.note}.substr(0, r.note.find(' '))); sig != 0) {
            ::signal(sig, SIG_DFL);
            ::raise(sig);
        }
    }
}

// The next recorded event that the program must match (an operation or a wait), past the signals
// that did not end the program; nullptr at the recording's end.
const board_event *next_recorded(board &b) {
    signal_if_recorded(b);
    if (b.replayed >= b.recorded.size() || b.recorded[b.replayed].kind == event_kind::end) return nullptr;
    return &b.recorded[b.replayed];
}

// The recorded event the program's own must be, or the program is stopped.
const board_event &expect(board &b, const board_event &call) {
    const board_event *r = next_recorded(b);
    // A wait has no number of its own: it departs where the next operation would.
    if (r == nullptr || !same_call(*r, call))
        depart(call.kind == event_kind::wait ? b.ops + 1 : call.number, r, "did \"" + call_text(call) + "\"");
    ++b.replayed;
    return *r;
}

// The recorded outcome as the program's own event: its number and path, the recording's result.
board_event outcome(const board_event &recorded, const board_event &call) {
    board_event e = recorded;
    e.number = call.number;
    e.path = call.path;
    e.text_file = call.text_file;
    return e;
}

// Emits the replayed operation and hands its result to the program, errno with it.
long replayed(board &b, const board_event &e) {
    emit(b, e);
    signal_if_recorded(b);
    if (e.result < 0) errno = e.error;
    return e.result;
}

} // namespace

std::string parse_recording(std::string_view text, std::string_view name, std::vector<board_event> &out) {
    std::vector<board_event> events;
    std::size_t line_no = 0;
    bool ended = false;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        ++line_no;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos) continue;
        const std::string where = std::string{name} + ":" + std::to_string(line_no) + ": ";
        if (ended) return where + "expected nothing after the end: line";
        board_event e;
        if (const std::string error = parse_event(line, e); !error.empty()) return where + error;
        ended = e.kind == event_kind::end;
        events.push_back(std::move(e));
    }
    out = std::move(events);
    return "";
}

void tape_start(const board &b) {
    if (b.mode != board_mode::record) return;
    for (const int sig : ending_signals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) ::signal(sig, record_signal);
    }
}

void tape_end(board &b) {
    if (b.mode != board_mode::replay) return;
    if (const board_event *r = next_recorded(b); r != nullptr) depart(b.ops + 1, r, "ended");
}

int tape_open(board &b, const char *path, const board_path &where, int flags) {
    board_event call = operation(b, event_kind::open, path, where.kind);
    call.flags = flags;
    if (b.mode == board_mode::record) {
        const int fd = real().open(path, flags, 0);
        if (fd >= 0) track_descriptor(b, fd, path, where, flags);
        settle(b, call, fd);
        return fd;
    }
    board_event e = outcome(expect(b, call), call);
    if (e.result >= 0) {
        e.result = open_board_descriptor(b, path, where, flags);
        if (e.result < 0) e.error = errno;
    }
    return static_cast<int>(replayed(b, e));
}

ssize_t tape_read(board &b, int fd, void *buf, std::size_t count) {
    const open_file &f = b.files.at(fd);
    board_event call = operation(b, event_kind::read, f.path, f.where.kind);
    call.count = count;
    if (b.mode == board_mode::record) {
        const ssize_t n = real().read(fd, buf, count);
        if (n > 0) call.data.assign(static_cast<std::uint8_t *>(buf), static_cast<std::uint8_t *>(buf) + n);
        settle(b, call, n);
        return n;
    }
    board_event e = outcome(expect(b, call), call);
    if (e.result > 0) std::memcpy(buf, e.data.data(), e.data.size());
    return replayed(b, e);
}

ssize_t tape_write(board &b, int fd, const void *buf, std::size_t count) {
    const open_file &f = b.files.at(fd);
    board_event call = operation(b, event_kind::write, f.path, f.where.kind);
    call.count = count;
    call.has_data = buf != nullptr;
    if (buf != nullptr)
        call.data.assign(static_cast<const std::uint8_t *>(buf),
                         static_cast<const std::uint8_t *>(buf) + count);
    if (b.mode == board_mode::record) {
        settle(b, call, real().write(fd, buf, count));
        return call.result;
    }
    return replayed(b, outcome(expect(b, call), call));
}

int tape_ioctl(board &b, int fd, unsigned long request, void *arg) {
    const open_file &f = b.files.at(fd);
    board_event call = operation(b, event_kind::ioctl, f.path, f.where.kind);
    call.request = request;
    const char *name = request_name(request);
    call.request_name = name != nullptr ? name : "request";
    const std::size_t size = argument_size(request);
    const bool is_signed = signed_argument(request);
    if (f.where.kind == file_kind::vidgen) {
        // The voltage generator takes its argument by value.
        call.argument = argument_kind::value;
        call.before = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(arg));
    } else if (name != nullptr && arg != nullptr && size != 0) {
        call.argument = argument_kind::pointer;
        call.before = load(arg, size, is_signed);
    }
    if (b.mode == board_mode::record) {
        const int result = real().ioctl(fd, request, arg);
        if (call.argument == argument_kind::pointer) call.after = load(arg, size, is_signed);
        settle(b, call, result);
        return result;
    }
    const board_event &recorded = expect(b, call);
    board_event e = outcome(recorded, call);
    if (recorded.argument == argument_kind::pointer && call.argument == argument_kind::pointer) {
        e.before = call.before;
        store(arg, size, recorded.after);
        e.after = load(arg, size, is_signed);
    }
    return static_cast<int>(replayed(b, e));
}

int tape_close(board &b, int fd) {
    const open_file f = b.files.at(fd);
    board_event call = operation(b, event_kind::close, f.path, f.where.kind);
    if (b.mode == board_mode::record) {
        settle(b, call, forget_descriptor(b, fd));
        return static_cast<int>(call.result);
    }
    board_event e = outcome(expect(b, call), call);
    forget_descriptor(b, fd);
    return static_cast<int>(replayed(b, e));
}

void tape_wait(board &b, std::uint64_t microseconds) {
    board_event e{.kind = event_kind::wait};
    e.wait_us = microseconds;
    if (b.mode == board_mode::replay) expect(b, e);
    emit(b, e);
    // The clock moves first, so that a signal during a recorded wait is written down at the time a
    // replay, which passes the wait at once, sends it.
    b.clock_us += microseconds;
    if (b.mode == board_mode::record) real_wait(microseconds); // the hardware needs its waits
    if (b.mode == board_mode::replay) signal_if_recorded(b);
}

} // namespace boardsim::detail
