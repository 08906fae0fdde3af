// The status of a file (its type, device and inode) through calls that every board's C library has.
// New libraries export stat and fstat at GLIBC_2.33; until then every program called __xstat64 and
// __fxstat64 with the version of the structure it was built with (3 on ARM), which new libraries keep.
#pragma once

#include <sys/stat.h>

#ifdef BOARD_LIBC_BASELINE
extern "C" int __xstat64(int version, const char *path, struct stat64 *status);
extern "C" int __fxstat64(int version, int fd, struct stat64 *status);

inline int board_stat(const char *path, struct stat64 *status) {
    return __xstat64(3, path, status);
}
inline int board_fstat(int fd, struct stat64 *status) {
    return __fxstat64(3, fd, status);
}
#else
inline int board_stat(const char *path, struct stat64 *status) {
    return stat64(path, status);
}
inline int board_fstat(int fd, struct stat64 *status) {
    return fstat64(fd, status);
}
#endif
