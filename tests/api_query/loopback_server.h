#pragma once

// A one-connection TCP server on the loopback address, run on its own thread, that plays the status
// server's part from a script and keeps every byte the client sent.
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace apitest {

enum class peer_end {
    close, // answer, end the stream, then read on until the client closes
    reset, // answer, then abort the connection with a reset
    hold,  // answer, then neither send nor close until the client gives up
};

struct peer_script {
    std::string reply;
    peer_end end = peer_end::close;
    // Sent after the reply, each after a real pause of pause_ms, before the end.
    std::vector<std::string> later = {};
    int pause_ms = 0;
    // Instead of all the above: the backlog is full and nothing is ever accepted, as at a hung server.
    // A client's handshake is dropped and its connect waits on the kernel's retries.
    bool backlog_full = false;
};

class loopback_server {
  public:
    // Listens on 127.0.0.1:port, or on a free port when port is 0. bound() is false if the port is taken.
    explicit loopback_server(peer_script script, std::uint16_t port = 0);
    ~loopback_server();
    loopback_server(const loopback_server &) = delete;
    loopback_server &operator=(const loopback_server &) = delete;

    [[nodiscard]] bool bound() const { return listener_ >= 0; }
    [[nodiscard]] std::uint16_t port() const { return port_; }

    // Call once the client has ended: every byte it sent, or nothing when it never connected.
    std::optional<std::string> finish();

  private:
    void run();

    peer_script script_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    int filler_ = -1;
    std::uint16_t port_ = 0;
    std::optional<std::string> received_;
    std::thread thread_;
};

} // namespace apitest
