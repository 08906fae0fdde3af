#pragma once

// The C library's own functions, looked up past whatever interposes them, so that the simulated board
// never calls back into its own interposer.
#include <ctime>
#include <string>
#include <sys/types.h>

namespace boardsim::detail {

struct real_functions {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*write)(int, const void *, size_t);
    int (*close)(int);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int); // null where the C library has none
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...); // null where the C library has none
    int (*ioctl)(int, unsigned long, ...);
    unsigned int (*sleep)(unsigned int);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const struct timespec *, struct timespec *);
    int (*clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
    int (*clock_gettime)(clockid_t, struct timespec *);
};
const real_functions &real();

// The whole of a file of the machine's own, read past the interposer; false (errno set) when it
// cannot be read. The same from a descriptor, read to its end and left open.
bool read_whole_file(const char *path, std::string &text);
bool read_whole_descriptor(int fd, std::string &text);

} // namespace boardsim::detail
