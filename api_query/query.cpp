#include "query.h"

#include "unique_fd.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace {

constexpr std::size_t reply_first_size = 65536;

// A server that accepts the connection but never answers or closes would otherwise hang the scripts
// that call the tool; a silence this long ends the exchange as a failed receive.
constexpr time_t reply_idle_seconds = 60;

bool is_space(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// False when the reply could not be written out: a reply lost on the way to the caller is no success.
bool print_reply(char *reply, std::size_t count) {
    reply[count] = '\0';
    return std::puts(reply) != EOF && std::fflush(stdout) == 0;
}

} // namespace

char *api_first_word(char *text) {
    char *start = text;
    while (is_space(*start)) ++start;
    for (char *p = start + std::strlen(start); p != start;) {
        --p;
        if (is_space(*p)) *p = '\0';
    }
    return start;
}

int api_request(const char *command, const char *host, std::uint16_t port) {
    unique_fd sock{::socket(AF_INET, SOCK_STREAM, 0)};
    if (!sock.is_open()) {
        std::printf("Socket initialisation failed: %s\n", std::strerror(errno));
        return 1;
    }

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = inet_addr(host);
    if (::connect(sock.get(), reinterpret_cast<const sockaddr *>(&server), sizeof server) < 0) {
        std::printf("Socket connect failed: %s\n", std::strerror(errno));
        return 1;
    }

    if (::send(sock.get(), command, std::strlen(command), 0) < 0) {
        std::printf("Send failed: %s\n", std::strerror(errno));
        return 1;
    }

    std::size_t limit = reply_first_size - 1;
    auto *reply = static_cast<char *>(std::malloc(reply_first_size));
    if (reply == nullptr) {
        std::printf("Err: OOM (%zu)\n", reply_first_size);
        return 1;
    }

    // Should the option not take, the wait is merely unbounded, as it always was.
    const timeval idle{.tv_sec = reply_idle_seconds, .tv_usec = 0};
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);

    // The reply block lives until the process ends.
    std::size_t count = 0;
    for (;;) {
        const ssize_t got = ::recv(sock.get(), reply + count, limit - count, 0);
        if (got < 0) {
            std::printf("Recv failed: %s\n", std::strerror(errno));
            print_reply(reply, count);
            return 1;
        }
        if (got == 0) return print_reply(reply, count) ? 0 : 1;
        count += static_cast<std::size_t>(got);
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
