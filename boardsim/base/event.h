#pragma once

// One board event: an operation on a board file with its outcome, a wait, a signal, a note of what
// the board did by itself (a process that came onto it, a scenario's event in time, a power-up out of
// order, the watchdog still running), the board's reset, or the end of the run. The model, a
// recording run and a replay all produce these; the writers (the text trace among them) turn them
// into what a user reads, and a recording is the text trace read back.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim::detail {

enum class event_kind { open, read, write, ioctl, close, wait, signal, note, reset, end };

// How an ioctl's argument is shown: not at all (an unknown request, no argument, an injected
// failure), as the value it points at before and after the request, or as the integer it is.
enum class argument_kind { none, pointer, value };

struct board_event {
    event_kind kind = event_kind::open;
    std::uint64_t number = 0;  // board operation number, from 1; 0 for waits, signals and the end
    std::uint64_t time_us = 0; // virtual time when it happened
    bool timed = false;        // read back with its time (a line edited by hand may have none)
    std::uint32_t process = 1; // the process of the run that made it; the trace names all but the first
    std::string path{};
    bool text_file = false;           // sysfs text ("out\0") rather than device data ([04 00])
    int flags = 0;                    // open
    std::size_t count = 0;            // bytes asked for (read) or given (write)
    bool has_data = true;             // write: false when the program passed no buffer
    std::vector<std::uint8_t> data{}; // bytes written, or bytes read
    unsigned long request = 0;        // ioctl
    std::string request_name{};       // SPI_IOC_WR_MODE, WDIOC_KEEPALIVE, VIDGEN_SET, or "request"
    argument_kind argument = argument_kind::none;
    std::int64_t before = 0; // the argument (pointer: the value it points at) before the request
    std::int64_t after = 0;  // pointer: the value it points at after the request
    long result = 0;         // open: the descriptor; otherwise what the call returned; -1 on failure
    int error = 0;           // errno when result is -1
    bool injected = false;   // the failure was made by fault injection
    std::uint64_t wait_us = 0;
    std::string note{}; // signal, note, reset and end: the rest of the line
};

// The trace line of an event, without the time prefix: "#3 write /sys/class/gpio/export "872" (3) = 3".
std::string event_text(const board_event &e);
// What the program asked for, without the outcome: "write /sys/class/gpio/export "872" (3)".
std::string call_text(const board_event &e);
// The time prefix of a trace line: "[   13.000000] ".
std::string time_prefix(std::uint64_t us);

// Reads one trace line back. Returns "" or "expected ..."; the time prefix and operation number are
// optional, so that a line edited by hand need not keep them.
std::string parse_event(std::string_view line, board_event &out);

// Whether the program's call is the one recorded: kind, path, flags, bytes written, request number
// and argument; for a wait, its length.
bool same_call(const board_event &recorded, const board_event &call);

// What a sysfs attribute takes from the bytes of a write (or gives in a read): the text up to the
// first NUL, less one trailing newline.
std::string attribute_text(const board_event &e);

// The bytes of one event as the trace shows them.
std::string quoted_text(const void *data, std::size_t len);
std::string hex_bytes(const void *data, std::size_t len);
std::string flags_text(int flags);
std::string error_name(int error); // "E?" for a number without a name

// Error numbers by name (EINVAL): nullptr or 0 when there is none. Signals by name, of the signals that
// can end or interrupt a run (SIGTERM, SIGINT, SIGKILL, ...; not those that stop or continue a
// program, nor those that do nothing by default): nullptr or 0 for any other.
const char *error_name_of(int error);
int error_number(std::string_view name);
const char *signal_name(int sig);
int signal_number(std::string_view name);

} // namespace boardsim::detail
