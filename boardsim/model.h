#pragma once

// The board model shared by the interposer, the in-process API and the runner. Nothing here touches
// a descriptor except through the real C library functions in `real`, so the model never calls back
// into the interposer.
#include "boardsim.h"
#include "event.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

struct timespec;

namespace boardsim::detail {

constexpr int chain_count = 8;
constexpr int insertion_line_base = 896; // slot 4 of chain i is line 896 + i

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
// cannot be read.
bool read_whole_file(const char *path, std::string &text);
// The same from a descriptor, read to its end and left open.
bool read_whole_descriptor(int fd, std::string &text);

// ---- scenario: how the board is built ----

enum class spi_request { wr_mode, rd_mode, wr_bits, rd_bits, wr_speed, rd_speed, none };

struct port_setup {
    bool present = true;
    std::optional<std::uint8_t> mode_readback;
    std::optional<std::uint8_t> bits_readback;
    std::optional<std::uint32_t> speed_readback;
    spi_request fail_request = spi_request::none;
};

enum class reply_kind { reset, marked_reset, bist_start, bist_collect, bist_fix, write_reg };
constexpr int reply_kind_count = 6;

struct chain_setup {
    bool inserted = false;
    std::uint8_t type = 6;
    std::array<std::optional<std::vector<std::uint8_t>>, reply_kind_count> replies;
    std::array<std::uint8_t, 6> result{0x18, 0x01, 0x11, 0x22, 0x33, 0x44};
    bool result_bad_crc = false;
    bool result_zero_first = false;
    std::array<std::uint8_t, 14> status{};
    bool status_0a_first = false;
    int noise_pairs = 0;
    std::array<std::uint8_t, 2> noise{0x00, 0x00};
    std::optional<std::uint8_t> silent;     // never answers; every read delivers this byte
    std::optional<std::uint64_t> reads_ok;  // reads after this many fail
    std::optional<std::uint64_t> writes_ok; // writes after this many fail
};

struct gpio_setup {
    std::optional<std::string> reads; // what the value file of an input delivers
    bool broken = false;              // direction and value files cannot be opened
    bool absent = false;              // no such line: exporting it fails
};

struct scenario {
    scenario();
    bool fclk_present = true;
    std::optional<std::string> fclk_readback;
    std::array<port_setup, chain_count> ports;
    std::array<chain_setup, chain_count> chains;
    std::map<int, gpio_setup> gpio;
    bool vidgen_present = true;
    bool vidgen_fail = false;
    bool watchdog_present = true;
    bool watchdog_busy = false;
    std::optional<int> watchdog_timeout_readback;
    // The timeouts the driver takes, in seconds, as the kernel compares them (unsigned): its
    // watchdog core refuses anything above UINT_MAX / 1000 whatever the driver.
    std::uint32_t watchdog_timeout_min = 0;
    std::uint32_t watchdog_timeout_max = 4294967;
    std::uint64_t watchdog_stop_after = 0;
    std::uint64_t fail_op = 0;
    // A run on the model ends by itself: at the first wait that would take the clock past the time
    // limit, or at the operation past the operation limit (0: no limit).
    std::uint64_t time_limit_us = 3600ULL * 1000000;
    std::uint64_t operation_limit = 100000;
};

// Applies the scenario text on top of `out`. Returns "" or "NAME:LINE: <what was expected>".
std::string parse_scenario(std::string_view text, std::string_view name, scenario &out);

// ---- board state ----

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

struct board_path {
    file_kind kind = file_kind::missing;
    int index = 0; // GPIO number, or spidev bus
};
// std::nullopt for paths that are not the board's (they pass through).
std::optional<board_path> classify(const char *path);

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

struct open_file {
    std::string path;
    board_path where;
    int flags = 0;
    std::size_t offset = 0;
};

struct board;

// A writer of the board's events besides the text trace: the waveform file, the timeline. Each
// gets every event as it happens, the end event last.
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

// Where the board's answers come from: the model, the machine's real board files (recording them), or
// a recording.
enum class board_mode { model, record, replay };

struct board {
    board_mode mode = board_mode::model;
    std::vector<board_event> recorded; // replay: the recording, and how far the program has come
    std::size_t replayed = 0;
    int record_fd = -1; // record: where the recording goes, besides the trace
    scenario setup;
    std::map<int, gpio_line> gpio;
    std::string fclk_written;
    int fclk_exports = 0;
    std::array<spi_port_state, chain_count> ports{};
    std::array<chain_state, chain_count> chains;
    std::map<int, open_file> files;
    std::vector<int> open_order;
    watchdog_state wdt;
    bool watchdog_open = false;
    std::vector<long> vidgen;
    std::uint64_t clock_us = 0;
    std::uint64_t ops = 0;
    std::uint64_t fail_at = 0; // operation number that fails, 0 for none
    bool keep_trace = true;
    std::vector<std::string> trace; // lines with the time prefix
    int trace_fd = -1;
    std::vector<std::unique_ptr<event_writer>> writers;
};

board *current();
void activate(scenario setup, bool keep_trace, int trace_fd);
void deactivate_board();

// Board operations; the interposer calls them for board paths and descriptors only.
bool is_board_fd(int fd);
int board_open(const char *path, const board_path &where, int flags);
ssize_t board_read(int fd, void *buf, std::size_t count);
ssize_t board_write(int fd, const void *buf, std::size_t count);
int board_ioctl(int fd, unsigned long request, void *arg);
int board_close(int fd);
void board_wait(std::uint64_t microseconds);

// Hands an event to the trace (and the recording).
void emit(board &b, board_event e);
// Ends the program from outside, as the operator's kill would: "signal SIGTERM <why>" and the end
// line in the trace, then SIGTERM.
[[noreturn]] void stop_program(board &b, const std::string &why);
// A new board operation: counted, numbered, picked or not by fault injection.
board_event operation(board &b, event_kind kind, const std::string &path, file_kind file);
// Takes the call's result and errno into the event and emits it; errno stays as it was.
void settle(board &b, board_event &e, long result);
// A board file's descriptor kept track of (the real file's in a recording run), a descriptor for a
// board file that the model or a recording serves, and its release with the close's own result.
void track_descriptor(board &b, int fd, const char *path, const board_path &where, int flags);
int open_board_descriptor(board &b, const char *path, const board_path &where, int flags);
int forget_descriptor(board &b, int fd);

// ---- recording and replay ----

// Reads a recording (the trace's lines). Returns "" or "NAME:LINE: expected ...".
std::string parse_recording(std::string_view text, std::string_view name, std::vector<board_event> &out);
// The board operations of a recording or replay run, and its waits.
int tape_open(board &b, const char *path, const board_path &where, int flags);
ssize_t tape_read(board &b, int fd, void *buf, std::size_t count);
ssize_t tape_write(board &b, int fd, const void *buf, std::size_t count);
int tape_ioctl(board &b, int fd, unsigned long request, void *arg);
int tape_close(board &b, int fd);
void tape_wait(board &b, std::uint64_t microseconds);
// Record: the end of the run by a signal is written down. Replay: what is left over when the
// program ends is a departure.
void tape_start(const board &b);
void tape_end(board &b);
// The exit status of a program stopped because it departed from the recording.
constexpr int status_departed = 3;

// ---- chip chains ----

// A write reaching the chips of a chain (each write is one transfer). Queues their answer.
void chips_receive(board &b, int chain, const std::uint8_t *data, std::size_t len);
// A read clocking count bytes out of the chain.
void chips_send(board &b, int chain, std::uint8_t *buf, std::size_t count);

} // namespace boardsim::detail
