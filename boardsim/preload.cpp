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

std::string read_file(const char *path) {
    std::string text;
    if (!boardsim::detail::read_whole_file(path, text))
        refuse(std::string{path} + ": cannot be read: " + std::strerror(errno));
    return text;
}

// A file the run writes lines to, on a descriptor far above the program's own; -1 when not asked for.
int output_file(const char *variable, bool append = true) {
    const char *path = std::getenv(variable);
    if (path == nullptr || *path == '\0') return -1;
    const int fd = real().open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0644);
    if (fd < 0) refuse(std::string{path} + ": cannot be written: " + std::strerror(errno));
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, trace_fd_floor);
    real().close(fd);
    if (high < 0) refuse(std::string{path} + ": no descriptor for it");
    return high;
}

__attribute__((constructor)) void boardsim_start() {
    using boardsim::detail::board_mode;
    boardsim::detail::scenario setup;
    if (const char *path = std::getenv("BOARDSIM_SCENARIO"); path != nullptr && *path != '\0') {
        const std::string error = boardsim::detail::parse_scenario(read_file(path), path, setup);
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
    const char *replay = std::getenv("BOARDSIM_REPLAY");
    if (replay != nullptr && *replay != '\0') {
        const std::string error = boardsim::detail::parse_recording(read_file(replay), replay, recorded);
        if (!error.empty()) refuse(error);
    }
    const int trace_fd = output_file("BOARDSIM_TRACE");
    const int record_fd = output_file("BOARDSIM_RECORD");
    boardsim::detail::activate(std::move(setup), false, trace_fd);
    boardsim::detail::board &b = *boardsim::detail::current();
    if (const int fd = output_file("BOARDSIM_VCD", false); fd >= 0)
        b.writers.push_back(boardsim::detail::vcd_writer(fd));
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
    } else if (replay != nullptr && *replay != '\0') {
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
