#include "query.h"

#include "unique_fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

constexpr std::size_t reply_first_size = 65536;

// Where the reply's first NUL is while none has arrived.
constexpr std::size_t no_nul = SIZE_MAX;

// Each receive lands here first and is searched for the reply's first NUL while it is in the cache,
// then joins the reply. Bytes that the kernel writes straight into the reply block's fresh pages are
// not in the cache when the program reads them: searched there, a large reply cost as much as a
// second pass over it at the end. No receive asks for more than this: the block's room, limit less
// count, is 65535 bytes at most.
char arrival[reply_first_size - 1];

// The longest the program waits on the server, once for the connection and then between reply bytes.
// A server whose backlog is full drops the handshake and leaves the kernel retrying for over two
// minutes; one that accepts but never answers or closes would wait for ever. Either would hang the
// scripts that call the tool: past this bound the wait ends as a failed connect or a failed receive.
constexpr time_t wait_bound_seconds = 60;

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Writes what puts would of the reply: its first `shown` bytes (up to its first NUL, or all of it), then
// one line end, in the byte after them, which the block always has room for. False when the reply
// could not be written out: a reply lost on the way to the caller is no success.
bool print_reply(char *reply, std::size_t shown) {
    reply[shown] = '\n';
    return std::fwrite(reply, 1, shown + 1, stdout) == shown + 1 && std::fflush(stdout) == 0;
}

// connect, with its wait bounded by the send time-out: a blocking connect that has not completed when
// that runs out fails with EINPROGRESS, reported as ETIMEDOUT, a wait that timed out. The time-out is
// lifted once connected, so that the send waits as it always has. On loopback the connect completes
// within the call, so the bound costs two option calls; a non-blocking connect there is still in
// progress when it returns and would add a poll and a status query to every exchange. Should the
// option not take, the wait is merely the kernel's own, as it always was.
bool connect_bounded(int fd, const sockaddr_in &server) {
    const timeval bound{.tv_sec = wait_bound_seconds, .tv_usec = 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) < 0) {
        if (errno == EINPROGRESS) errno = ETIMEDOUT;
        return false;
    }
    const timeval unbounded{};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &unbounded, sizeof unbounded);
    return true;
}

} // namespace

char *api_first_word(char *text) {
    char *start = text;
    while (is_space(*start))
        ++start;
    for (char *p = start + std::strlen(start); p != start;) {
        --p;
        if (is_space(*p)) *p = '\0';
    }
    return start;
}

namespace {

// The connection to the server with the command sent on it; closed, with the failure printed, when
// it cannot be had.
unique_fd send_command(const char *command, const char *host, std::uint16_t port) {
    unique_fd sock{::socket(AF_INET, SOCK_STREAM, 0)};
    if (!sock.is_open()) {
        std::printf("Socket initialisation failed: %s\n", std::strerror(errno));
        return unique_fd{-1};
    }

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = inet_addr(host);
    if (!connect_bounded(sock.get(), server)) {
        std::printf("Socket connect failed: %s\n", std::strerror(errno));
        return unique_fd{-1};
    }

    if (::send(sock.get(), command, std::strlen(command), 0) < 0) {
        std::printf("Send failed: %s\n", std::strerror(errno));
        return unique_fd{-1};
    }
    return sock;
}

// The whole reply, received into a block that grows as it comes, then printed; 0, or 1 on a failure.
int receive_reply(int sock) {
    std::size_t limit = reply_first_size - 1;
    auto *reply = static_cast<char *>(std::malloc(reply_first_size));
    if (reply == nullptr) {
        std::printf("Err: OOM (%zu)\n", reply_first_size);
        return 1;
    }

    // Should the option not take, the wait is merely unbounded, as it always was.
    const timeval idle{.tv_sec = wait_bound_seconds, .tv_usec = 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);

    // The reply block lives until the process ends.
    std::size_t count = 0;
    std::size_t shown = no_nul;
    for (;;) {
        const ssize_t got = ::recv(sock, arrival, limit - count, 0);
        if (got < 0) {
            // The idle bound ends the receive with EAGAIN: said as what it is, a wait that timed out.
            const int error = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
            std::printf("Recv failed: %s\n", std::strerror(error));
            print_reply(reply, std::min(shown, count));
            return 1;
        }
        // The block is not freed: it lives until the process ends.
        // NOLINTNEXTLINE(clang-analyzer-unix.Malloc)
        if (got == 0) return print_reply(reply, std::min(shown, count)) ? 0 : 1;
        const auto n = static_cast<std::size_t>(got);
        if (shown == no_nul) {
            const void *nul = std::memchr(arrival, '\0', n);
            if (nul != nullptr)
                shown = count + static_cast<std::size_t>(static_cast<const char *>(nul) - arrival);
        }
        std::memcpy(reply + count, arrival, n);
        count += n;
        if (count < limit) continue;

        // No overflow: a block cannot exceed PTRDIFF_MAX bytes, so limit + 65536 always fits, and a
        // size the allocator cannot give simply fails here.
        const std::size_t grown_size = limit + reply_first_size;
        auto *grown = static_cast<char *>(std::realloc(reply, grown_size));
        if (grown == nullptr) {
            std::printf("Err: OOM (%zu)\n", grown_size);
            return 1;
        }
        reply = grown;
        limit = grown_size - 1;
    }
}

} // namespace

int api_request(const char *command, const char *host, std::uint16_t port) {
    const unique_fd sock = send_command(command, host, port);
    return sock.is_open() ? receive_reply(sock.get()) : 1;
}
