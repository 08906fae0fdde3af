#include "loopback_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace apitest {

namespace {

void read_to_end(int fd, std::string &into) {
    char buf[65536];
    for (;;) {
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got <= 0) return;
        into.append(buf, static_cast<std::size_t>(got));
    }
}

void send_all(int fd, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0) return;
        done += static_cast<std::size_t>(sent);
    }
}

// A backlog of 0 queues one connection: one of the server's own, never accepted, fills it. The
// listener turns readable once that connection is queued. Returns the filler.
int fill_backlog(int listener, const sockaddr_in &addr) {
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (filler < 0 || ::connect(filler, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot connect the filler");
    pollfd queued{listener, POLLIN, 0};
    if (::poll(&queued, 1, 5000) != 1) throw std::runtime_error("the filler is not queued");
    return filler;
}

} // namespace

loopback_server::loopback_server(peer_script script, std::uint16_t port) : script_(std::move(script)) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int backlog = script_.backlog_full ? 0 : 4;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    listener_ = fd;
    if (script_.backlog_full) {
        filler_ = fill_backlog(fd, addr);
        return;
    }
    if (::pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread{[this] { run(); }};
}

loopback_server::~loopback_server() {
    finish();
    if (listener_ >= 0) ::close(listener_);
    for (int fd : stop_)
        if (fd >= 0) ::close(fd);
    if (filler_ >= 0) ::close(filler_);
}

std::optional<std::string> loopback_server::finish() {
    if (thread_.joinable()) {
        [[maybe_unused]] const ssize_t n = ::write(stop_[1], "x", 1);
        thread_.join();
    }
    return received_;
}

void loopback_server::run() {
    int conn = -1;
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        // A client that connected before it ended is still in the backlog: look there before stopping.
        conn = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn >= 0) break;
        if (fds[1].revents != 0) return;
    }

    std::string received;
    char first[65536];
    const ssize_t got = ::recv(conn, first, sizeof first, 0);
    if (got > 0) received.assign(first, static_cast<std::size_t>(got));
    send_all(conn, script_.reply);
    for (const std::string &piece : script_.later) {
        std::this_thread::sleep_for(std::chrono::milliseconds{script_.pause_ms});
        send_all(conn, piece);
    }
    switch (script_.end) {
    case peer_end::close:
        ::shutdown(conn, SHUT_WR);
        read_to_end(conn, received);
        break;
    case peer_end::reset: {
        const linger abort_now{.l_onoff = 1, .l_linger = 0};
        ::setsockopt(conn, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
        break;
    }
    case peer_end::hold:
        read_to_end(conn, received);
        break;
    }
    ::close(conn);
    received_ = std::move(received);
}

} // namespace apitest
