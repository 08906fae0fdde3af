// The C library calls that reach the board. Board paths and descriptors go to the board (the core,
// whichever backend answers there); everything else, and everything while no board is active, goes on
// to the C library unchanged.
#undef _FORTIFY_SOURCE
#include "boardsim.h"
#include "core/board.h"
#include "interposer/link.h"
#include "readers/scenario.h"

#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

using boardsim::detail::active_link;
using boardsim::detail::board_link;
using boardsim::detail::board_path;
using boardsim::detail::real;

namespace {

// The board path an open names, or nothing when the call is not the board's business.
std::optional<board_path> board_target(const char *path) {
    if (active_link() == nullptr || path == nullptr) return std::nullopt;
    return boardsim::detail::classify(path);
}

std::optional<board_path> board_target_at(int dirfd, const char *path) {
    // Board paths are absolute; a relative one names a file of the program's own.
    if (path == nullptr || path[0] != '/') return std::nullopt;
    (void)dirfd;
    return board_target(path);
}

mode_t open_mode(int flags, va_list args) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        return static_cast<mode_t>(va_arg(args, int));
    return 0;
}

// The link of a board descriptor of this process, or nullptr.
board_link *board_fd(int fd) {
    board_link *link = active_link();
    return link != nullptr && link->holds(fd) ? link : nullptr;
}

// After the machine copied descriptor `fd` to `copy`: the board's descriptor copied with it, or the board
// descriptor that the copy replaced let go (the link still holds what `copy` was before the call).
void follow_copy(int fd, int copy) {
    board_link *link = active_link();
    if (link == nullptr || fd == copy) return;
    if (link->holds(fd)) {
        link->copied(fd, copy);
    } else if (link->holds(copy)) {
        link->dropped(copy);
    }
}

// fcntl, the machine's, its copies (F_DUPFD) followed.
int fcntl_following(int (*machine)(int, int, ...), int fd, int command, void *arg) {
    const int result = machine(fd, command, arg);
    if (result >= 0 && (command == F_DUPFD || command == F_DUPFD_CLOEXEC)) follow_copy(fd, result);
    return result;
}

std::uint64_t to_us(const timespec *t) {
    if (t == nullptr || t->tv_sec < 0 || t->tv_nsec < 0) return 0;
    return static_cast<std::uint64_t>(t->tv_sec) * 1000000 + static_cast<std::uint64_t>(t->tv_nsec) / 1000;
}

} // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    if (auto where = board_target(path)) return active_link()->open(path, *where, flags);
    return real().open(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    if (auto where = board_target(path)) return active_link()->open(path, *where, flags);
    return real().open64(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    if (auto where = board_target_at(dirfd, path)) return active_link()->open(path, *where, flags);
    return real().openat(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = open_mode(flags, args);
    va_end(args);
    if (auto where = board_target_at(dirfd, path)) return active_link()->open(path, *where, flags);
    return real().openat64(dirfd, path, flags, mode);
}

// The checked forms that fortified builds call; they never carry O_CREAT.
int __open_2(const char *path, int flags) {
    return open(path, flags);
}
int __open64_2(const char *path, int flags) {
    return open64(path, flags);
}
int __openat_2(int dirfd, const char *path, int flags) {
    return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char *path, int flags) {
    return openat64(dirfd, path, flags);
}

ssize_t read(int fd, void *buf, size_t count) {
    if (board_link *link = board_fd(fd)) return link->read(fd, buf, count);
    return real().read(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen) {
    if (count > buflen) ::abort();
    return read(fd, buf, count);
}

ssize_t write(int fd, const void *buf, size_t count) {
    if (board_link *link = board_fd(fd)) return link->write(fd, buf, count);
    return real().write(fd, buf, count);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    if (board_link *link = board_fd(fd)) return link->ioctl(fd, request, arg);
    return real().ioctl(fd, request, arg);
}

int close(int fd) {
    if (board_link *link = board_fd(fd)) return link->close(fd);
    return real().close(fd);
}

// Copies of descriptors (a shell's redirection makes them): the machine makes the copy, of the
// placeholder where the descriptor is the board's, and the board follows it.
int dup(int fd) {
    const int copy = real().dup(fd);
    if (copy >= 0) follow_copy(fd, copy);
    return copy;
}

int dup2(int fd, int to) {
    const int copy = real().dup2(fd, to);
    if (copy >= 0) follow_copy(fd, copy);
    return copy;
}

int dup3(int fd, int to, int flags) {
    if (real().dup3 == nullptr) {
        errno = ENOSYS;
        return -1;
    }
    const int copy = real().dup3(fd, to, flags);
    if (copy >= 0) follow_copy(fd, copy);
    return copy;
}

int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void *arg = va_arg(args, void *);
    va_end(args);
    return fcntl_following(real().fcntl, fd, command, arg);
}

int fcntl64(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    void *arg = va_arg(args, void *);
    va_end(args);
    return fcntl_following(real().fcntl64 != nullptr ? real().fcntl64 : real().fcntl, fd, command, arg);
}

unsigned int sleep(unsigned int seconds) {
    board_link *link = active_link();
    if (link == nullptr) return real().sleep(seconds);
    link->wait(static_cast<std::uint64_t>(seconds) * 1000000);
    return 0;
}

int usleep(useconds_t microseconds) {
    board_link *link = active_link();
    if (link == nullptr) return real().usleep(microseconds);
    link->wait(microseconds);
    return 0;
}

int nanosleep(const struct timespec *request, struct timespec *remaining) {
    board_link *link = active_link();
    if (link == nullptr) return real().nanosleep(request, remaining);
    link->wait(to_us(request));
    if (remaining != nullptr) *remaining = timespec{};
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request, struct timespec *remaining) {
    board_link *link = active_link();
    if (link == nullptr) return real().clock_nanosleep(clock, flags, request, remaining);
    std::uint64_t us = to_us(request);
    if ((flags & TIMER_ABSTIME) != 0) {
        timespec now{};
        real().clock_gettime(clock, &now);
        const std::uint64_t now_us = to_us(&now);
        us = us > now_us ? us - now_us : 0;
    }
    link->wait(us);
    if (remaining != nullptr) *remaining = timespec{};
    return 0;
}

} // extern "C"

// Making a board active lives beside the interposer, so that a test that calls these links it too.
namespace boardsim {

void reset() {
    detail::activate(detail::scenario{}, detail::model_backend(), true, true);
}

std::string load_scenario(std::string_view text, std::string_view name) {
    detail::scenario s;
    std::string error = detail::parse_scenario(text, name, s);
    if (error.empty()) detail::activate(std::move(s), detail::model_backend(), true, true);
    return error;
}

std::string load_scenario_file(const std::string &path) {
    std::string text;
    if (!detail::read_whole_file(path.c_str(), text)) return path + ": cannot be read";
    return load_scenario(text, path);
}

void deactivate() {
    detail::deactivate_board();
}

} // namespace boardsim
