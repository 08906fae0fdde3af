// An LD_PRELOAD front end for api_query under test. It writes a trace of the socket calls the program
// makes, can shorten the time-outs the program sets (so that its 60 s bounds on the connect and on the
// reply's silence are seen to work in a fraction of a second), and can make one chosen call fail. Set
// through the environment:
//   SHIM_TRACE=path               append one line per socket call to path
//   SHIM_RCVTIMEO_MS=n            hand the kernel n ms wherever the program sets a non-zero SO_RCVTIMEO
//   SHIM_SNDTIMEO_MS=n            hand the kernel n ms wherever the program sets a non-zero SO_SNDTIMEO
//   SHIM_FAIL_SOCKET=errno        socket() fails with this error number
//   SHIM_FAIL_SEND=errno          send() fails with this error number
//   SHIM_FAIL_MALLOC_SIZE=n       malloc(n) fails
//   SHIM_FAIL_REALLOC_FROM=n      realloc to n bytes or more fails
//   SHIM_RECV_MAX=n               recv() hands over at most n bytes at a time

// This file defines recv itself, which the fortified C library headers define inline as well: clang
// refuses the second definition. The program's fortified calls come to __recv_chk below.
#undef _FORTIFY_SOURCE
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// glibc's own allocator entry points, which the overrides below fall back on.
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_realloc(void *ptr, size_t size);

namespace {

// getenv and strtol do not allocate, so these are safe inside malloc.
bool env_number(const char *name, long &value) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return false;
    value = std::strtol(text, nullptr, 10);
    return true;
}

void trace(const char *format, ...) { // NOLINT(cert-dcl50-cpp): printf-style, checked by the compiler
    const char *path = std::getenv("SHIM_TRACE");
    if (path == nullptr) return;
    char line[256];
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    [[maybe_unused]] const ssize_t written = ::write(fd, line, static_cast<size_t>(len));
    ::close(fd);
}

template <typename F> F real(const char *name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int socket(int domain, int type, int protocol) {
    trace("socket %d %d %d\n", domain, type, protocol);
    long fail = 0;
    if (env_number("SHIM_FAIL_SOCKET", fail)) {
        errno = static_cast<int>(fail);
        return -1;
    }
    return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
}

int connect(int fd, const sockaddr *addr, socklen_t len) {
    const auto *in = reinterpret_cast<const sockaddr_in *>(addr);
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    trace("connect %s:%u %u\n", host, static_cast<unsigned>(ntohs(in->sin_port)), static_cast<unsigned>(len));
    return real<int (*)(int, const sockaddr *, socklen_t)>("connect")(fd, addr, len);
}

ssize_t send(int fd, const void *buf, size_t len, int flags) {
    trace("send %zu %d\n", len, flags);
    long fail = 0;
    if (env_number("SHIM_FAIL_SEND", fail)) {
        errno = static_cast<int>(fail);
        return -1;
    }
    return real<ssize_t (*)(int, const void *, size_t, int)>("send")(fd, buf, len, flags);
}

ssize_t recv(int fd, void *buf, size_t len, int flags) {
    long most = 0;
    if (env_number("SHIM_RECV_MAX", most) && most > 0) len = std::min(len, static_cast<size_t>(most));
    return real<ssize_t (*)(int, void *, size_t, int)>("recv")(fd, buf, len, flags);
}

// What a fortified build calls in place of recv when it knows the buffer's size.
ssize_t __recv_chk(int fd, void *buf, size_t len, size_t buflen, int flags) {
    if (len > buflen) std::abort();
    return recv(fd, buf, len, flags);
}

int shutdown(int fd, int how) {
    trace("shutdown %d\n", how);
    return real<int (*)(int, int)>("shutdown")(fd, how);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t len) {
    using setsockopt_fn = int (*)(int, int, int, const void *, socklen_t);
    const bool timeout = level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO);
    if (timeout && len == sizeof(timeval)) {
        const char *option = name == SO_RCVTIMEO ? "SO_RCVTIMEO" : "SO_SNDTIMEO";
        const auto *asked = static_cast<const timeval *>(value);
        trace("setsockopt %s %lld.%06lld\n", option, static_cast<long long>(asked->tv_sec),
              static_cast<long long>(asked->tv_usec));
        long ms = 0;
        const bool bounded = asked->tv_sec != 0 || asked->tv_usec != 0;
        if (bounded && env_number(name == SO_RCVTIMEO ? "SHIM_RCVTIMEO_MS" : "SHIM_SNDTIMEO_MS", ms)) {
            const timeval shortened{.tv_sec = ms / 1000, .tv_usec = (ms % 1000) * 1000};
            return real<setsockopt_fn>("setsockopt")(fd, level, name, &shortened, len);
        }
    } else {
        trace("setsockopt %d %d\n", level, name);
    }
    return real<setsockopt_fn>("setsockopt")(fd, level, name, value, len);
}

void *malloc(size_t size) {
    long fail = 0;
    if (env_number("SHIM_FAIL_MALLOC_SIZE", fail) && size == static_cast<size_t>(fail)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

void *realloc(void *ptr, size_t size) {
    long fail = 0;
    if (env_number("SHIM_FAIL_REALLOC_FROM", fail) && size >= static_cast<size_t>(fail)) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(ptr, size);
}

} // extern "C"
