#pragma once

// Where the interposer's board calls go: to a board in this process (the in-process library, or the
// preload library used on its own), or over the process's channel to the runner, which holds the
// run's one board for every process of the run.
#include "core/board.h"
#include "devices/device.h"

#include <cstdint>
#include <sys/types.h>

namespace boardsim::detail {

class board_link {
  public:
    board_link() = default;
    board_link(const board_link &) = delete;
    board_link &operator=(const board_link &) = delete;
    virtual ~board_link() = default;

    // Whether the descriptor is one of this process's board descriptors.
    virtual bool holds(int fd) = 0;
    virtual int open(const char *path, const board_path &where, int flags) = 0;
    virtual ssize_t read(int fd, void *buf, std::size_t count) = 0;
    virtual ssize_t write(int fd, const void *buf, std::size_t count) = 0;
    virtual int ioctl(int fd, unsigned long request, void *arg) = 0;
    virtual int close(int fd) = 0;
    virtual void wait(std::uint64_t microseconds) = 0;
    // After the machine's own dup and its kin: `to` is a copy of board descriptor `from`; or board
    // descriptor `fd` was replaced by a copy of a descriptor of the machine's own.
    virtual void copied(int from, int to) = 0;
    virtual void dropped(int fd) = 0;
};

// The link in use: the runner's when this process is one of a run's, else the board in this process
// when one is active; nullptr when there is none (every call passes through).
board_link *active_link();
// The runner's link, from the channel the runner handed the program (preload.cpp).
void use_runner_link(board_link *link);

// The placeholder for a board descriptor: a real descriptor (of /dev/null), so that the number is
// unique among the program's own and numbered as the kernel numbers them.
int placeholder(int flags);

// How a process carries out the run's end for itself: by the signal (as the operator's kill would end
// it), with the exit status, or at once with the board's reset. Its output so far stays.
[[noreturn]] void end_process(run_end::how how, int value);

} // namespace boardsim::detail
