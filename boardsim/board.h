#pragma once

// The board of one run. The interposer hands it the board operations in the order the program makes
// them; the core numbers each, makes the failure that fault injection asks for, has the run's backend
// answer it (the model, the machine's real board files while recording, or a recording), keeps the
// descriptors, and shows the outcome to the trace and the other writers. Nothing here touches a
// descriptor except through the real C library functions in `real`, so the board never calls back
// into the interposer.
#include "boardsim.h"
#include "event.h"
#include "scenario.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct timespec;

namespace boardsim::detail {

// The C library's own functions, looked up past the interposer.
struct real_functions {
    int (*open)(const char *, int, ...);
    int (*open64)(const char *, int, ...);
    int (*openat)(int, const char *, int, ...);
    int (*openat64)(int, const char *, int, ...);
    ssize_t (*read)(int, void *, size_t);
    ssize_t (*write)(int, const void *, size_t);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    unsigned int (*sleep)(unsigned int);
    int (*usleep)(useconds_t);
    int (*nanosleep)(const struct timespec *, struct timespec *);
    int (*clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
    int (*clock_gettime)(clockid_t, struct timespec *);
};
const real_functions &real();

// The whole of a file of the machine's own, read past the interposer; false (errno set) when it
// cannot be read. The same from a descriptor, read to its end and left open.
bool read_whole_file(const char *path, std::string &text);
bool read_whole_descriptor(int fd, std::string &text);

// ---- the board's files ----

enum class file_kind {
    gpio_export,
    gpio_unexport,
    gpio_direction,
    gpio_value,
    fclk_export,
    fclk_rate,
    spidev,
    vidgen,
    watchdog,
    missing, // a board path that does not exist
};

struct device;

struct board_path {
    file_kind kind = file_kind::missing;
    int index = 0;               // GPIO number, or spidev bus
    const device *dev = nullptr; // the device whose path it is
};
// std::nullopt for paths that are not the board's (they pass through).
std::optional<board_path> classify(const char *path);

struct open_file {
    std::string path;
    board_path where;
    int flags = 0;
    std::size_t offset = 0;
};

// ---- what the board's devices hold, as the model keeps it ----

struct gpio_line {
    bool exported = false;
    bool output = false;
    int level = 0;
};

struct chain_state {
    std::deque<std::uint8_t> output;   // bytes the chips will clock out next
    std::vector<std::uint8_t> pending; // a frame arriving pair by pair
    std::vector<frame> frames;
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};

struct device_state {
    std::map<int, gpio_line> gpio;
    std::string fclk_written;
    int fclk_exports = 0;
    std::array<spi_port_state, chain_count> ports{};
    std::array<chain_state, chain_count> chains;
    watchdog_state wdt;
    bool watchdog_open = false;
    std::vector<long> vidgen;
};

struct board;

// ---- the writers of the board's events besides the text trace ----

// The waveform file, the timeline: each gets every event as it happens, the end event last.
struct event_writer {
    event_writer() = default;
    event_writer(const event_writer &) = delete;
    event_writer &operator=(const event_writer &) = delete;
    virtual ~event_writer() = default;
    virtual void write(const board_event &e) = 0;
};
// A Value Change Dump of the run on fd, kept whole after every event; a chart of the run written to
// fd at its end, columns wide.
std::unique_ptr<event_writer> vcd_writer(int fd);
std::unique_ptr<event_writer> timeline_writer(int fd, int columns);

// ---- where the answers come from ----

// Chosen once, when the board comes up. Each operation arrives as the program asked for it (`e`
// holds its number, path, flags, count and the bytes written); the backend fills in what came back
// besides the result (the request's name and argument) and returns the result, errno set when it
// failed. The core has already dealt with an injected failure, and keeps the descriptors.
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

// Reads a recording (the trace's lines). Returns "" or "NAME:LINE: expected ...".
std::string parse_recording(std::string_view text, std::string_view name, std::vector<board_event> &out);
// The exit status of a program stopped because it departed from the recording.
constexpr int status_departed = 3;

// ---- the board ----

struct board {
    scenario setup;
    std::unique_ptr<backend> answers;
    device_state devices;
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
