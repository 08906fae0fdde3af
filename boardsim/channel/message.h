#pragma once

// The messages between a program's process and the runner, which holds the run's one board: each
// process asks, the runner answers. One message per datagram of a SOCK_SEQPACKET socket, in a layout
// of fixed-width little-endian fields, so that a program emulated for another machine (a 32-bit ARM
// program under qemu-arm) and the runner read each other's.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace boardsim::channel {

enum class ask : std::uint8_t {
    hello = 1, // a process comes onto the board: its pid, its parent's, its command; a fork's
               // board descriptors
    open,
    read,
    write,
    ioctl,
    close,
    wait,
    bye,           // the process ends by itself (its C library runs its exit)
    off_the_board, // the process was about to start a program off the board; the run fails
    copy,          // descriptor `fd` is now a copy of descriptor `value` (dup and its kin)
    drop,          // board descriptor `fd` was replaced by a copy of one of the machine's own
};

// A board descriptor of the process: its number, and the board's number for its open file.
using descriptor = std::pair<std::int32_t, std::uint32_t>;

struct request {
    ask what = ask::hello;
    std::int32_t pid = 0;
    std::int32_t parent = 0;
    std::int32_t fd = -1;
    std::int32_t flags = 0;
    std::uint64_t count = 0;
    std::uint64_t number = 0; // an ioctl's request number
    std::uint64_t value = 0;  // an ioctl's argument, when it is not a pointer
    std::uint64_t microseconds = 0;
    bool pointer = false;          // an ioctl's argument points at `data`
    std::string text{};            // open: the path; hello: the command; off_the_board: what and why
    std::string data{};            // write: the bytes; ioctl: what the argument points at
    std::vector<descriptor> fds{}; // hello after a fork: the descriptors the process holds
};

// What the process does once it has the answer: go on; end by a signal (as the operator's kill would
// end it); end with an exit status; end at once with the whole run (the board's reset); or take a
// signal and go on if it survives it. The first four are run_end's kinds, in its order.
enum class then : std::uint8_t { go_on = 0, signal, status, reset, deliver };

struct reply {
    std::int64_t result = 0;
    std::int32_t error = 0;
    std::uint32_t file = 0;        // open: the board's number for the open file
    std::uint32_t process = 0;     // hello: the process's number on the board
    std::string data{};            // read: the bytes; ioctl: what the argument points at after
    std::vector<descriptor> fds{}; // hello after an exec: the descriptors the new program holds
    then end = then::go_on;
    std::int32_t end_value = 0;
};

// The largest message: a transfer of 64 KiB and what goes with it.
constexpr std::size_t message_max = 65536 + 4096;
// The most bytes one read or write carries; a longer one is cut there, as a pipe may cut it.
constexpr std::size_t transfer_max = 65536;

std::string encode(const request &r);
std::string encode(const reply &r);
// False for a message that is not whole or not well formed.
bool decode(std::string_view bytes, request &r);
bool decode(std::string_view bytes, reply &r);

// Sending and receiving whole messages on a channel, the calls retried when a signal interrupts
// them. A descriptor may go with a message (a new process's own channel). False, with errno, when the
// channel is gone.
bool send_message(int fd, const std::string &bytes, int passed_fd = -1);
bool receive_message(int fd, std::string &bytes, int *passed_fd = nullptr);

} // namespace boardsim::channel
