#pragma once

// The board of one run. The interposer hands it the board operations in the order the program makes
// them; the core numbers each, makes the failure that fault injection asks for, names the request
// from its device's table, has the run's backend answer it (the model, the machine's real board files
// while recording, or a recording), keeps the descriptors, and shows the outcome to the trace and the
// writers. The core reaches a descriptor only through the C library's own functions (base/real.h), so
// the board never calls back into the interposer.
#include "base/real.h"
#include "devices/device.h"
#include "readers/scenario.h"
#include "writers/writer.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace boardsim::detail {

struct board;

// ---- where the answers come from ----

// Chosen once, when the board comes up. Each operation arrives as the program asked for it (`e`
// holds its number, path, flags, count, the bytes written, and a request's name and argument as its
// device names them); the backend answers it and returns the result, errno set when it failed. The
// core has already dealt with an injected failure, keeps the descriptors and reads back what a
// request left in its argument.
class backend {
  public:
    backend() = default;
    backend(const backend &) = delete;
    backend &operator=(const backend &) = delete;
    virtual ~backend() = default;

    // The descriptor: open_descriptor()'s for a board file that is served, the real one otherwise.
    virtual int open(board &b, board_event &e, const board_path &where) = 0;
    virtual ssize_t read(board &b, board_event &e, open_file &f, int fd, void *buf) = 0;
    virtual ssize_t write(board &b, board_event &e, open_file &f, int fd, const void *buf) = 0;
    virtual int ioctl(board &b, board_event &e, open_file &f, int fd, void *arg) = 0;
    // The core has released the descriptor; `released` is what that close returned.
    virtual int close(board &b, board_event &e, open_file &f, int released) = 0;
    // A wait, before it shows in the trace.
    virtual void wait(board & /*b*/, const board_event & /*e*/) {}
    // After an operation or a wait shows in the trace.
    virtual void shown(board & /*b*/, const board_event & /*e*/) {}
    // The program ends, before the end line.
    virtual void end(board & /*b*/) {}
};
std::unique_ptr<backend> model_backend();
std::unique_ptr<backend> record_backend();
std::unique_ptr<backend> replay_backend(std::vector<board_event> recording);

// The exit status of a program stopped because it departed from the recording.
constexpr int status_departed = 3;

// ---- the board ----

struct board {
    scenario setup;
    std::unique_ptr<backend> answers;
    device_states devices = new_device_states();
    std::map<int, open_file> files;
    std::vector<int> open_order;
    std::uint64_t clock_us = 0;
    std::uint64_t ops = 0;
    std::uint64_t fail_at = 0;       // operation number that fails, 0 for none
    std::optional<std::string> stop; // a device ends the program once the operation shows: why
    bool keep_trace = true;
    std::vector<std::string> trace; // lines with the time prefix
    int trace_fd = -1;
    int record_fd = -1; // a recording run's recording, besides the trace
    std::vector<std::unique_ptr<event_writer>> writers;
};

board *current();
// The run's board: the scenario (its limits hold for the model alone), where its answers come from,
// and where the trace and the recording go (-1: nowhere but the lines kept in memory, or none).
void activate(scenario setup, std::unique_ptr<backend> answers, bool keep_trace, int trace_fd,
              int record_fd = -1);
void deactivate_board();

// The interposer's calls, for board paths and descriptors only.
bool is_board_fd(int fd);
int board_open(const char *path, const board_path &where, int flags);
ssize_t board_read(int fd, void *buf, std::size_t count);
ssize_t board_write(int fd, const void *buf, std::size_t count);
int board_ioctl(int fd, unsigned long request, void *arg);
int board_close(int fd);
void board_wait(std::uint64_t microseconds);

// The end line of the run, shown and returned; the program's end, which the backend has its word on
// first.
std::string finish_run(board &b);
void program_ended(board &b);

// For the backends: an event shown to the trace, the recording and the writers; a descriptor for a
// board file that is served (a reserved /dev/null), or the real one kept track of; the program ended
// from outside, as the operator's kill would, after "signal SIGTERM <why>" and the end line.
void emit(board &b, board_event e);
int open_descriptor(board &b, const char *path, const board_path &where, int flags);
void track_descriptor(board &b, int fd, const char *path, const board_path &where, int flags);
[[noreturn]] void stop_program(board &b, const std::string &why);

} // namespace boardsim::detail
