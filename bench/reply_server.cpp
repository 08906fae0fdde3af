// reply_server: a loopback stand-in for the status server, built to be faster than any client measured
// against it. Each connection sends a command; the reply is that many bytes of text (a command that is not a
// number gets the --size default), then the server closes the connection, which ends the reply.
// Prints "port N" once it listens, then serves connections one after another until it is killed.
#include "bench_core.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

bool parse_number(std::string_view text, std::uint64_t &value) {
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return !text.empty() && ec == std::errc{} && ptr == end;
}

} // namespace

int main(int argc, char **argv) {
    std::uint64_t port = 0;
    std::uint64_t default_size = 600;
    for (int i = 1; i < argc; i += 2) {
        const std::string_view opt = argv[i];
        std::uint64_t *target = opt == "--port" ? &port : opt == "--size" ? &default_size : nullptr;
        if (target == nullptr || i + 1 >= argc || !parse_number(argv[i + 1], *target) || port > 65535 ||
            default_size > bench::max_reply_bytes) {
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
