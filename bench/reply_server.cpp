// reply_server: a loopback stand-in for the status server, built to be faster than any client measured
// against it. Each connection sends a command; the reply is that many bytes of text (a command that is not a
// number gets the --size default), then the server closes the connection, which ends the reply.
// Prints "port N" once it listens, then serves connections one after another until it is killed.
#include "bench_core.h"
#include "number.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

int main(int argc, char **argv) {
    std::uint64_t port = 0;
    std::uint64_t default_size = 600;
    for (int i = 1; i < argc; i += 2) {
        const std::string_view opt = argv[i];
        std::uint64_t *target = opt == "--port" ? &port : opt == "--size" ? &default_size : nullptr;
        const std::optional<std::uint64_t> value =
            i + 1 < argc ? parse_number<std::uint64_t>(argv[i + 1]) : std::nullopt;
        if (value && target != nullptr) *target = *value;
        if (target == nullptr || !value || port > 65535 || default_size > bench::max_reply_bytes) {
            std::fprintf(stderr, "usage: reply_server [--port N] [--size BYTES]\n");
            return 2;
        }
    }

    std::signal(SIGPIPE, SIG_IGN);
    std::uint16_t bound = 0;
    const int fd = bench::listen_loopback(static_cast<std::uint16_t>(port), bound);
    if (fd < 0) {
        std::fprintf(stderr, "reply_server: cannot listen on 127.0.0.1:%llu: %s\n",
                     static_cast<unsigned long long>(port), std::strerror(errno));
        return 1;
    }
    std::printf("port %u\n", static_cast<unsigned>(bound));
    std::fflush(stdout);

    for (;;) {
        if (bench::serve_one(fd, default_size) < 0 && errno != ECONNABORTED) {
            std::fprintf(stderr, "reply_server: accept: %s\n", std::strerror(errno));
            return 1;
        }
    }
}
