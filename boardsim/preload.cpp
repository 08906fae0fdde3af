// Start and end of a program run under the runner: the board comes up before main and writes its
// closing trace line when the program exits.
#include "model.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libc_baseline.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

namespace {

using boardsim::detail::real;

// Trace lines go to a descriptor far above the program's own, so that the program sees the same
// descriptor numbers as it would on the board.
constexpr int trace_fd_floor = 200;

[[noreturn]] void refuse(const std::string &message) {
    const std::string line = "boardsim: " + message + "\n";
    [[maybe_unused]] const ssize_t n = real().write(2, line.data(), line.size());
    ::_exit(2);
}

// A descriptor the runner handed over in the setting NAME ("BOARDSIM_TRACE=5"), moved far above the
// program's own; -1 when the setting is not there. An input's setting names it after the descriptor
// ("BOARDSIM_SCENARIO=6:board.scn"), for messages.
int handed_descriptor(const char *variable, std::string *name = nullptr) {
    const char *value = std::getenv(variable);
    if (value == nullptr || *value == '\0') return -1;
    int fd = -1;
    const char *end = value + std::strlen(value);
    const auto [ptr, ec] = std::from_chars(value, end, fd);
    if (ec != std::errc{} || fd < 0 || (ptr != end && *ptr != ':'))
        refuse(std::string{variable} + ": expected a descriptor, got " + value);
    if (name != nullptr) *name = ptr != end ? ptr + 1 : variable;
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, trace_fd_floor);
    if (high < 0) refuse(std::string{variable} + ": no descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
    real().close(fd);
    return high;
}

// An input the runner read and checked, as it read it.
bool handed_text(const char *variable, std::string &text, std::string &name) {
    const int fd = handed_descriptor(variable, &name);
    if (fd < 0) return false;
    if (!boardsim::detail::read_whole_descriptor(fd, text)) refuse(name + ": cannot be read: " + std::strerror(errno));
    real().close(fd);
    return true;
}

__attribute__((constructor)) void boardsim_start() {
    using boardsim::detail::board_mode;
    boardsim::detail::scenario setup;
    std::string text;
    std::string name;
    if (handed_text("BOARDSIM_SCENARIO", text, name)) {
        const std::string error = boardsim::detail::parse_scenario(text, name, setup);
        if (!error.empty()) refuse(error);
    }
    if (const char *n = std::getenv("BOARDSIM_FAIL_OP"); n != nullptr && *n != '\0') {
        std::uint64_t value = 0;
        const auto [ptr, ec] = std::from_chars(n, n + std::strlen(n), value);
        if (ec != std::errc{} || *ptr != '\0')
            refuse(std::string{"BOARDSIM_FAIL_OP: expected a number, got "} + n);
        setup.fail_op = value;
    }
    std::vector<boardsim::detail::board_event> recorded;
    const bool replay = handed_text("BOARDSIM_REPLAY", text, name);
    if (replay) {
        const std::string error = boardsim::detail::parse_recording(text, name, recorded);
        if (!error.empty()) refuse(error);
    }
    const int trace_fd = handed_descriptor("BOARDSIM_TRACE");
    const int record_fd = handed_descriptor("BOARDSIM_RECORD");
    const int vcd_fd = handed_descriptor("BOARDSIM_VCD");
    boardsim::detail::activate(std::move(setup), false, trace_fd);
    boardsim::detail::board &b = *boardsim::detail::current();
    if (vcd_fd >= 0) b.writers.push_back(boardsim::detail::vcd_writer(vcd_fd));
    if (const char *t = std::getenv("BOARDSIM_TIMELINE"); t != nullptr && *t != '\0') {
        // Drawn on standard error as it is now, whatever the program later does with its own.
        const int fd = ::fcntl(2, F_DUPFD_CLOEXEC, trace_fd_floor);
        winsize size{};
        const bool terminal = ::isatty(2) != 0 && real().ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
        if (fd >= 0) b.writers.push_back(boardsim::detail::timeline_writer(fd, terminal ? size.ws_col : 80));
    }
    if (record_fd >= 0) {
        b.mode = board_mode::record;
        b.record_fd = record_fd;
    } else if (replay) {
        b.mode = board_mode::replay;
        b.recorded = std::move(recorded);
    }
    boardsim::detail::tape_start(b);
}

__attribute__((destructor)) void boardsim_end() {
    if (boardsim::detail::board *b = boardsim::detail::current(); b != nullptr) {
        boardsim::detail::tape_end(*b);
        boardsim::finish();
    }
}

} // namespace
