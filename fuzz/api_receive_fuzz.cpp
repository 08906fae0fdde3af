// Arbitrary replies and receive failures against api_query's exchange. The socket calls are answered
// here instead of by the kernel: the input is a script of what each receive delivers (a piece of the
// input, a long run of one byte, a failure, the end of the stream). Whatever the script, the program
// must ask only for room it has, print exactly what puts prints of the bytes received (up to the
// first NUL, one line end), after the failure's message if a receive failed, and end with status 0 at
// the end of the stream and 1 after a failed receive.

// This file defines recv itself, which the fortified C library headers define inline as well: clang
// refuses the second definition. api_query's fortified calls come to __recv_chk below.
#undef _FORTIFY_SOURCE
#include "query.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

// The script being played and what it has delivered so far.
struct exchange {
    const std::uint8_t *data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::string pending;  // bytes of the current step not yet taken by a receive
    std::string received; // everything delivered
    bool failed = false;
    bool active = false;
    void *block = nullptr; // the reply block, as the program last allocated it
};
exchange ex;

constexpr std::size_t max_run = 300000; // enough for several growths of the reply block
constexpr std::size_t max_reply = 4u << 20;

std::uint8_t next_byte() {
    return ex.pos < ex.size ? ex.data[ex.pos++] : 0;
}

// Fills `pending` with the next step; false for the end of the stream, true with failed set for a failure.
bool next_step() {
    if (ex.pos >= ex.size || ex.received.size() >= max_reply) return false;
    const std::uint8_t op = next_byte();
    switch (op % 4) {
    case 0: { // a piece of the input itself
        const std::size_t n = std::min<std::size_t>(next_byte() + 1u, ex.size - ex.pos);
        ex.pending.assign(reinterpret_cast<const char *>(ex.data + ex.pos), n);
        ex.pos += n;
        return !ex.pending.empty();
    }
    case 1: { // a long run of one byte
        const std::size_t hi = next_byte();
        const std::size_t n = std::min(max_run, (hi << 8 | next_byte()) * 5 + 1);
        ex.pending.assign(n, static_cast<char>(next_byte()));
        return true;
    }
    case 2:
        ex.failed = true;
        return true;
    default:
        return false;
    }
}

} // namespace

// The exchange's socket calls, answered from the script.
extern "C" int socket(int /*domain*/, int /*type*/, int /*protocol*/) {
    return ::open("/dev/null", O_RDWR | O_CLOEXEC);
}
extern "C" int connect(int /*fd*/, const sockaddr * /*addr*/, socklen_t len) {
    check(len == 16);
    return 0;
}
extern "C" ssize_t send(int /*fd*/, const void * /*data*/, std::size_t n, int flags) {
    check(flags == 0);
    return static_cast<ssize_t>(n);
}
extern "C" int setsockopt(int /*fd*/, int /*level*/, int /*name*/, const void * /*value*/,
                          socklen_t /*len*/) {
    return 0;
}
extern "C" ssize_t recv(int /*fd*/, void *buf, std::size_t len, int flags) {
    check(ex.active && flags == 0 && len > 0);
    if (ex.pending.empty() && !ex.failed && !next_step()) return 0;
    if (ex.failed) {
        errno = ECONNRESET;
        return -1;
    }
    const std::size_t n = std::min(len, ex.pending.size());
    std::memcpy(buf, ex.pending.data(), n); // the sanitizers check that the room asked for is there
    ex.received.append(ex.pending, 0, n);
    ex.pending.erase(0, n);
    return static_cast<ssize_t>(n);
}

// What a fortified build calls in place of recv when it knows the buffer's size.
extern "C" ssize_t __recv_chk(int fd, void *buf, std::size_t len, std::size_t buflen, int flags) {
    check(len <= buflen);
    return recv(fd, buf, len, flags);
}

// The program's allocations on their way to the allocator (the target links with --wrap=malloc and
// --wrap=realloc): the reply block is the program's to keep until it ends, but here many exchanges
// share one process.
extern "C" void *__real_malloc(std::size_t size);
extern "C" void *__real_realloc(void *block, std::size_t size);
extern "C" void *__wrap_malloc(std::size_t size) {
    void *p = __real_malloc(size);
    if (ex.active) ex.block = p;
    return p;
}
extern "C" void *__wrap_realloc(void *block, std::size_t size) {
    void *p = __real_realloc(block, size);
    if (ex.active && p != nullptr) ex.block = p;
    return p;
}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ex = exchange{};
    ex.data = data;
    ex.size = size;
    ex.active = true;
    char *printed = nullptr;
    std::size_t printed_size = 0;
    FILE *const output = stdout;
    stdout = open_memstream(&printed, &printed_size);
    check(stdout != nullptr);
    const int status = api_request("summary", "127.0.0.1", 4028);
    std::fclose(stdout);
    stdout = output;
    ex.active = false;

    check(status == (ex.failed ? 1 : 0));
    std::string expected = ex.failed ? std::string{"Recv failed: "} + std::strerror(ECONNRESET) + "\n" : "";
    expected += ex.received.substr(0, ex.received.find('\0')) + "\n"; // up to the first NUL
    check(std::string{printed, printed_size} == expected);
    std::free(printed);
    std::free(ex.block);
    return 0;
}
