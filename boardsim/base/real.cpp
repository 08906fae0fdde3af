// The C library's own functions, found past whatever interposes them.
#include "base/real.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <libc_baseline.h>
#include <unistd.h>

// Older C libraries keep dlsym in libdl.so.2, which the build names for them.
BOARD_LIBC_OLDEST(dlsym);

namespace boardsim::detail {

namespace {

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

const real_functions &real() {
    static const real_functions functions{
        .open = next<int (*)(const char *, int, ...)>("open"),
        .open64 = next<int (*)(const char *, int, ...)>("open64"),
        .openat = next<int (*)(int, const char *, int, ...)>("openat"),
        .openat64 = next<int (*)(int, const char *, int, ...)>("openat64"),
        .read = next<ssize_t (*)(int, void *, size_t)>("read"),
        .write = next<ssize_t (*)(int, const void *, size_t)>("write"),
        .close = next<int (*)(int)>("close"),
        .dup = next<int (*)(int)>("dup"),
        .dup2 = next<int (*)(int, int)>("dup2"),
        .dup3 = next<int (*)(int, int, int)>("dup3"),
        .fcntl = next<int (*)(int, int, ...)>("fcntl"),
        .fcntl64 = next<int (*)(int, int, ...)>("fcntl64"),
        .ioctl = next<int (*)(int, unsigned long, ...)>("ioctl"),
        .sleep = next<unsigned int (*)(unsigned int)>("sleep"),
        .usleep = next<int (*)(useconds_t)>("usleep"),
        .nanosleep = next<int (*)(const struct timespec *, struct timespec *)>("nanosleep"),
        .clock_nanosleep =
            next<int (*)(clockid_t, int, const struct timespec *, struct timespec *)>("clock_nanosleep"),
        .clock_gettime = next<int (*)(clockid_t, struct timespec *)>("clock_gettime"),
    };
    return functions;
}

bool read_whole_file(const char *path, std::string &text) {
    const int fd = real().open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool read = read_whole_descriptor(fd, text);
    const int error = errno;
    real().close(fd);
    errno = error;
    return read;
}

bool read_whole_descriptor(int fd, std::string &text) {
    text.clear();
    char chunk[4096];
    for (;;) {
        const ssize_t got = real().read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0;
        text.append(chunk, static_cast<std::size_t>(got));
    }
}

} // namespace boardsim::detail
