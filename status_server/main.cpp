// status_server: a stand-in for the board's status server, for machines without a board and for tests.
// Serves one connection at a time: reads one command text, answers, closes. Misbehaving peers on request.
#include "number.h"
#include "unique_fd.h"

#include <arpa/inet.h>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

enum class peer_mode { answer, close, nul, size, reset, silent };

struct mode_name {
    const char *name;
    peer_mode mode;
};

constexpr std::array<mode_name, 6> mode_names{{
    {"answer", peer_mode::answer},
    {"close", peer_mode::close},
    {"nul", peer_mode::nul},
    {"size", peer_mode::size},
    {"reset", peer_mode::reset},
    {"silent", peer_mode::silent},
}};

struct canned_reply {
    const char *command;
    const char *reply;
};

constexpr std::array<canned_reply, 3> canned_replies{{
    {"summary", "status=ok command=summary elapsed=0 chains=0 hashrate=0.00 accepted=0 rejected=0"},
    {"version", "status=ok command=version server=status_server api=1"},
    {"devs", "status=ok command=devs count=0"},
}};

constexpr const char *unknown_reply = "status=error msg=unknown command";

// The NUL goes on the wire: a client shows only "before".
constexpr char nul_reply[] = "before\0after";

struct options {
    const char *address = "127.0.0.1";
    long port = 4028;
    peer_mode mode = peer_mode::answer;
    long size = 0;
    long connections = -1; // until killed
};

// A client that connects and sends nothing must not hold the stand-in for ever.
constexpr time_t command_wait_seconds = 10;

constexpr std::size_t command_max = 4096;

void usage(std::FILE *to, const char *name) {
    std::fprintf(to,
                 "usage: %s [-a address] [-p port] [-m answer|close|nul|size|reset|silent] [-s bytes] "
                 "[-c connections]\n",
                 name);
}

// An option's number, from min to max. Blanks and a "+" may come before it, as the stand-in has always
// taken its numbers; nothing may follow it.
bool parse_option_number(std::string_view text, long min, long max, long &value) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0)
        text.remove_prefix(1);
    if (text.starts_with('+') && !text.starts_with("+-")) text.remove_prefix(1);
    const std::optional<long> parsed = parse_number<long>(text);
    if (!parsed || *parsed < min || *parsed > max) return false;
    value = *parsed;
    return true;
}

bool parse_mode(const char *text, peer_mode &mode) {
    for (const mode_name &m : mode_names) {
        if (std::strcmp(m.name, text) == 0) {
            mode = m.mode;
            return true;
        }
    }
    return false;
}

bool parse_options(int argc, char **argv, options &opts) {
    int c = 0;
    while ((c = ::getopt(argc, argv, "a:p:m:s:c:")) != -1) {
        bool ok = true;
        switch (c) {
        case 'a':
            opts.address = optarg;
            break;
        case 'p':
            ok = parse_option_number(optarg, 0, 65535, opts.port);
            break;
        case 'm':
            ok = parse_mode(optarg, opts.mode);
            break;
        case 's':
            ok = parse_option_number(optarg, 0, 1L << 30, opts.size);
            break;
        case 'c':
            ok = parse_option_number(optarg, 1, 1L << 30, opts.connections);
            break;
        default:
            ok = false;
        }
        if (!ok) return false;
    }
    return optind == argc;
}

bool send_all(int fd, const char *bytes, std::size_t len) {
    while (len > 0) {
        const ssize_t sent = ::send(fd, bytes, len, MSG_NOSIGNAL);
        if (sent < 0) return false;
        bytes += sent;
        len -= static_cast<std::size_t>(sent);
    }
    return true;
}

// size bytes of lines of letters, so that a reply can be checked for lost or repeated pieces.
bool send_pattern(int fd, std::size_t size) {
    // A whole number of 26-letter runs and 64-byte lines, so that chunk after chunk continues the pattern.
    std::array<char, std::size_t{26} * 64 * 40> chunk{};
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = i % 64 == 63 ? '\n' : static_cast<char>('a' + i % 26);
    while (size > 0) {
        const std::size_t len = size < chunk.size() ? size : chunk.size();
        if (!send_all(fd, chunk.data(), len)) return false;
        size -= len;
    }
    return true;
}

const char *reply_for(std::string_view command) {
    for (const canned_reply &r : canned_replies)
        if (command == r.command) return r.reply;
    return unknown_reply;
}

// Closing with a zero linger time sends a reset instead of the orderly end of the stream.
void reset_connection(const unique_fd &conn) {
    const linger abort_now{.l_onoff = 1, .l_linger = 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
}

void wait_for_peer_close(int fd) {
    std::array<char, 4096> sink{};
    while (::recv(fd, sink.data(), sink.size(), 0) > 0) {
    }
}

void serve(unique_fd &conn, const options &opts) {
    const timeval wait{.tv_sec = command_wait_seconds, .tv_usec = 0};
    ::setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::array<char, command_max> command{};
    const ssize_t got = ::recv(conn.get(), command.data(), command.size(), 0);
    if (got < 0) return;
    const std::string_view text{command.data(), static_cast<std::size_t>(got)};

    const auto size = static_cast<std::size_t>(opts.size);
    switch (opts.mode) {
    case peer_mode::answer: {
        const char *reply = reply_for(text);
        send_all(conn.get(), reply, std::strlen(reply));
        break;
    }
    case peer_mode::close:
        break;
    case peer_mode::nul:
        send_all(conn.get(), nul_reply, sizeof nul_reply - 1);
        break;
    case peer_mode::size:
        send_pattern(conn.get(), size);
        break;
    case peer_mode::reset:
        send_pattern(conn.get(), size);
        reset_connection(conn);
        break;
    case peer_mode::silent: {
        const timeval forever{.tv_sec = 0, .tv_usec = 0};
        ::setsockopt(conn.get(), SOL_SOCKET, SO_RCVTIMEO, &forever, sizeof forever);
        wait_for_peer_close(conn.get());
        return;
    }
    }
    if (opts.mode == peer_mode::reset) return;

    // Ending only the sending side, then reading to the client's close, keeps any unread bytes of the
    // command from turning the close into a reset that could cost the client the reply.
    ::shutdown(conn.get(), SHUT_WR);
    wait_for_peer_close(conn.get());
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            usage(stdout, argv[0]);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("status_server %s\n", BOARD_TOOLS_VERSION);
            return 0;
        }
    }
    options opts;
    if (!parse_options(argc, argv, opts)) {
        usage(stderr, argv[0]);
        return 2;
    }

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(opts.port));
    if (::inet_pton(AF_INET, opts.address, &addr.sin_addr) != 1) {
        std::fprintf(stderr, "not an IPv4 address: %s\n", opts.address);
        return 2;
    }

    unique_fd listener{::socket(AF_INET, SOCK_STREAM, 0)};
    if (!listener.is_open()) {
        std::fprintf(stderr, "socket: %s\n", std::strerror(errno));
        return 1;
    }
    const int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener.get(), 16) != 0) {
        std::fprintf(stderr, "cannot listen on %s:%ld: %s\n", opts.address, opts.port, std::strerror(errno));
        return 1;
    }

    // With -p 0 the system picks the port; whoever started the stand-in learns it from this line.
    socklen_t len = sizeof addr;
    ::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len);
    std::printf("listening on %s:%u\n", opts.address, static_cast<unsigned>(ntohs(addr.sin_port)));
    std::fflush(stdout);

    for (long served = 0; opts.connections < 0 || served < opts.connections; ++served) {
        unique_fd conn{::accept(listener.get(), nullptr, nullptr)};
        if (!conn.is_open()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::fprintf(stderr, "accept: %s\n", std::strerror(errno));
            return 1;
        }
        serve(conn, opts);
    }
    return 0;
}
