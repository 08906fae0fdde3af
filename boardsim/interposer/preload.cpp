// Start and end of a program run under the runner: the board comes up before main and writes its
// closing trace line when the program exits.
#include "core/board.h"
#include "readers/recording.h"
#include "readers/scenario.h"
#include "writers/writer.h"

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

// The run's settings come from the runner as descriptors it opened, BOARDSIM_<NAME>_FD=N (an input
// names its file after the number, N:FILE, for messages); the preload library used on its own takes
// the file BOARDSIM_<NAME> names instead. A handed descriptor moves far above the program's own and
// stays open for the program's children, which each get a board of their own from the same inputs
// and add their lines to the same trace; the setting follows it to its new number.
int handed_descriptor(const std::string &variable, std::string *file, bool for_children) {
    const char *value = std::getenv(variable.c_str());
    if (value == nullptr || *value == '\0') return -1;
    int fd = -1;
    const char *end = value + std::strlen(value);
    const auto [ptr, ec] = std::from_chars(value, end, fd);
    if (ec != std::errc{} || fd < 0 || (ptr != end && *ptr != ':'))
        refuse(variable + ": expected a descriptor, got " + value);
    if (file != nullptr) *file = ptr != end ? ptr + 1 : variable;
    const int high = ::fcntl(fd, for_children ? F_DUPFD : F_DUPFD_CLOEXEC, trace_fd_floor);
    if (high < 0) refuse(variable + ": no descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
    real().close(fd);
    if (for_children)
        ::setenv(variable.c_str(), (std::to_string(high) + (ptr != end ? ptr : "")).c_str(), 1);
    else
        ::unsetenv(variable.c_str());
    return high;
}

// An input of the run, whole: false when there is none.
bool run_input(const std::string &name, std::string &text, std::string &file) {
    const int fd = handed_descriptor("BOARDSIM_" + name + "_FD", &file, true);
    if (fd >= 0) {
        // From its start: the program's children read it again.
        if (::lseek(fd, 0, SEEK_SET) != 0 || !boardsim::detail::read_whole_descriptor(fd, text))
            refuse(file + ": cannot be read: " + std::strerror(errno));
        return true;
    }
    const char *path = std::getenv(("BOARDSIM_" + name).c_str());
    if (path == nullptr || *path == '\0') return false;
    file = path;
    if (!boardsim::detail::read_whole_file(path, text))
        refuse(file + ": cannot be read: " + std::strerror(errno));
    return true;
}

// An output of the run, -1 when there is none. One the preload opens itself grows by appending.
int run_output(const std::string &name, bool for_children, bool append) {
    if (const int fd = handed_descriptor("BOARDSIM_" + name + "_FD", nullptr, for_children); fd >= 0)
        return fd;
    const char *path = std::getenv(("BOARDSIM_" + name).c_str());
    if (path == nullptr || *path == '\0') return -1;
    const int fd = real().open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0644);
    if (fd < 0) refuse(std::string{path} + ": cannot be written: " + std::strerror(errno));
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, trace_fd_floor);
    real().close(fd);
    if (high < 0) refuse(std::string{path} + ": no descriptor for it");
    return high;
}

__attribute__((constructor)) void boardsim_start() {
    boardsim::detail::scenario setup;
    std::string text;
    std::string name;
    if (run_input("SCENARIO", text, name)) {
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
    const bool replay = run_input("REPLAY", text, name);
    if (replay) {
        const std::string error = boardsim::detail::parse_recording(text, name, recorded);
        if (!error.empty()) refuse(error);
    }
    const int trace_fd = run_output("TRACE", true, true);
    const int record_fd = run_output("RECORD", true, true);
    // A waveform file is rewritten in place: the program's own alone.
    const int vcd_fd = run_output("VCD", false, false);
    // The answers come from the real board while recording, from a recording when replaying, else
    // from the model, whose limits are the only ones.
    std::unique_ptr<boardsim::detail::backend> answers;
    if (record_fd >= 0 || replay) {
        setup.time_limit_us = 0;
        setup.operation_limit = 0;
        answers = record_fd >= 0 ? boardsim::detail::record_backend()
                                 : boardsim::detail::replay_backend(std::move(recorded));
    } else {
        answers = boardsim::detail::model_backend();
    }
    boardsim::detail::activate(std::move(setup), std::move(answers), false, trace_fd, record_fd);
    boardsim::detail::board &b = *boardsim::detail::current();
    if (vcd_fd >= 0) b.writers.push_back(boardsim::detail::vcd_writer(vcd_fd));
    if (const char *t = std::getenv("BOARDSIM_TIMELINE"); t != nullptr && *t != '\0') {
        // Drawn on standard error as it is now, whatever the program later does with its own.
        const int fd = ::fcntl(2, F_DUPFD_CLOEXEC, trace_fd_floor);
        winsize size{};
        const bool terminal = ::isatty(2) != 0 && real().ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0;
        if (fd >= 0) b.writers.push_back(boardsim::detail::timeline_writer(fd, terminal ? size.ws_col : 80));
    }
}

__attribute__((destructor)) void boardsim_end() {
    if (boardsim::detail::board *b = boardsim::detail::current(); b != nullptr)
        boardsim::detail::program_ended(*b);
}

} // namespace
