// Start and end of a program run under the runner: the board comes up before main and writes its
// closing trace line when the program exits.
#include "model.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

std::string read_scenario(const char *path) {
    const int fd = real().open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) refuse(std::string{path} + ": cannot be read: " + std::strerror(errno));
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t got = real().read(fd, chunk, sizeof chunk);
        if (got < 0) refuse(std::string{path} + ": cannot be read: " + std::strerror(errno));
        if (got == 0) break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    real().close(fd);
    return text;
}

__attribute__((constructor)) void boardsim_start() {
    boardsim::detail::scenario setup;
    if (const char *path = std::getenv("BOARDSIM_SCENARIO"); path != nullptr && *path != '\0') {
        const std::string error = boardsim::detail::parse_scenario(read_scenario(path), path, setup);
        if (!error.empty()) refuse(error);
    }
    if (const char *n = std::getenv("BOARDSIM_FAIL_OP"); n != nullptr && *n != '\0') {
        std::uint64_t value = 0;
        const auto [ptr, ec] = std::from_chars(n, n + std::strlen(n), value);
        if (ec != std::errc{} || *ptr != '\0')
            refuse(std::string{"BOARDSIM_FAIL_OP: expected a number, got "} + n);
        setup.fail_op = value;
    }
    int trace_fd = -1;
    if (const char *path = std::getenv("BOARDSIM_TRACE"); path != nullptr && *path != '\0') {
        const int fd = real().open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) refuse(std::string{path} + ": cannot be written: " + std::strerror(errno));
        trace_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, trace_fd_floor);
        real().close(fd);
        if (trace_fd < 0) refuse(std::string{path} + ": no descriptor for the trace");
    }
    boardsim::detail::activate(std::move(setup), false, trace_fd);
}

__attribute__((destructor)) void boardsim_end() {
    if (boardsim::detail::current() != nullptr) boardsim::finish();
}

} // namespace
