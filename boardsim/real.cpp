// The C library's own functions, found past whatever interposes them.
#include "model.h"

#include <dlfcn.h>

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

} // namespace boardsim::detail
