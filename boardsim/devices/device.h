#pragma once

// A device of the board: one family of the board's files (the GPIO lines, the fabric clock, the SPI
// ports with their chips, the voltage generator, the watchdog). Each device is one unit that knows
// everything about its files: which paths are its own, whether the trace shows their bytes as text,
// the requests it takes and how the trace names them, how the model answers each operation, and
// what a waveform and the timeline draw for each event. The core and the writers walk the table of
// devices (devices.cpp) and never ask which device they hold.
#include "base/event.h"
#include "devices/state.h"
#include "readers/scenario.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace boardsim::detail {

struct device;

// A path of the board: the device it belongs to and which of its files it is, or none of them.
constexpr int no_such_file = -1;
struct board_path {
    const device *dev = nullptr;
    int file = no_such_file; // the device's own numbering of its files
    int index = 0;           // the GPIO line, the SPI bus
    [[nodiscard]] bool missing() const { return file == no_such_file; }
};

// The board path a path names, or std::nullopt for a path that is not the board's (it passes through).
std::optional<board_path> classify(const char *path);

// An open file of the board, as one open made it; every descriptor that refers to it (a process's
// own, or a copy its children inherited) holds it.
struct open_file {
    std::string path;
    board_path where;
    int flags = 0;
    std::size_t offset = 0;
    int real_fd = -1; // the machine's own file, while recording
    int holders = 0;
};

// A request a device takes, as the trace shows it: its name and how its argument is shown (the value
// it points at, of the width the request's number gives, or the argument itself).
struct request_info {
    unsigned long number;
    std::string_view name;
    bool by_value = false;     // the argument is the value (not a pointer to it)
    bool signed_value = false; // what it points at is signed
};

// What a device keeps for one board; each device's own, made when the board comes up.
struct device_state {
    device_state() = default;
    device_state(const device_state &) = delete;
    device_state &operator=(const device_state &) = delete;
    virtual ~device_state() = default;
};
using device_states = std::vector<std::unique_ptr<device_state>>; // in the order of the table

// The board resets: why, and the file of the device that reset it.
struct board_reset {
    std::string why;
    std::string path;
};

// Where a device's model answers an operation: the board's scenario, every device's state (the chips
// look at the GPIO lines that power them), the clock, and what a device may ask of the run once the
// operation shows: the program's stop (the operator's kill at a keep-alive, with why), the board's
// reset (the watchdog fired). A note is a line of the trace the device writes of itself.
struct device_context {
    const scenario &setup;
    const device_states &states;
    std::uint64_t now_us = 0;
    std::optional<std::string> &stop;
    std::optional<board_reset> &reset;
    std::vector<std::string> *notes = nullptr;
    void note(std::string line) const {
        if (notes != nullptr) notes->push_back(std::move(line));
    }
};

// What a waveform writer offers a device to draw its events with. A wire is declared with the value
// it has from the run's start (chip select high, an unknown 'x' for a GPIO line); one that is drawn
// before it is declared is unknown until then. Times are in nanoseconds; nothing is drawn before
// free_from(), and a device that draws a stretch (a transfer) moves it on.
class wave_sink {
  public:
    wave_sink() = default;
    wave_sink(const wave_sink &) = delete;
    wave_sink &operator=(const wave_sink &) = delete;
    virtual void wire(std::string_view name, char from_start) = 0;
    virtual void level(std::uint64_t at, std::string_view wire, char value) = 0; // '0', '1' or 'x'
    virtual void text(std::uint64_t at, std::string_view name, std::string_view value) = 0;
    virtual void pulse(std::uint64_t at, std::string_view name) = 0;
    [[nodiscard]] virtual std::uint64_t free_from() const = 0;
    virtual void busy_until(std::uint64_t at) = 0;

  protected:
    ~wave_sink() = default;
};

// A device's drawing in one waveform, with what it must remember from one event to the next.
struct device_drawing {
    device_drawing() = default;
    device_drawing(const device_drawing &) = delete;
    device_drawing &operator=(const device_drawing &) = delete;
    virtual ~device_drawing() = default;
    // A successful operation on one of the device's files, at time `at` (ns).
    virtual void draw(const board_event &e, const board_path &where, std::uint64_t at, wave_sink &out) = 0;
};

// What the timeline offers a device: rows of levels (a GPIO line) and rows of activity (a port: open
// spans and marks where it worked), each row the device's by an index and shown with a label. Times
// are in microseconds.
class chart_sink {
  public:
    chart_sink() = default;
    chart_sink(const chart_sink &) = delete;
    chart_sink &operator=(const chart_sink &) = delete;
    virtual void level_row(int index, std::string_view label) = 0; // a row with no level yet
    virtual void level(int index, std::string_view label, std::uint64_t at, int value) = 0;
    virtual void span_opens(int index, std::string_view label, std::uint64_t at) = 0;
    virtual void span_closes(int index, std::uint64_t at) = 0;
    virtual void mark(int index, std::string_view label, std::uint64_t at, char symbol = '#') = 0;

  protected:
    ~chart_sink() = default;
};

// Variables of a waveform that a viewer shows together ("chain 2": its lines, then its SPI wires).
struct wave_group {
    std::string name;
    std::vector<std::string> variables;
};

struct device {
    std::string_view prefix; // every path under it is the device's, as one of its files or missing
    bool text = false;       // sysfs text: the trace quotes its bytes ("out\0"); else hex ([04 00])
    std::span<const request_info> requests;
    board_path (*file)(std::string_view rest);
    std::unique_ptr<device_state> (*new_state)();

    // The model's answers. 0 when the file opens, else why not (an errno value).
    int (*open)(device_context &c, const board_path &where, int flags);
    ssize_t (*read)(device_context &c, open_file &f, void *buf, std::size_t count);
    ssize_t (*write)(device_context &c, open_file &f, const board_event &e, const void *buf,
                     std::size_t count);
    int (*ioctl)(device_context &c, open_file &f, const board_event &e, void *arg);
    void (*close)(device_context &c, open_file &f);

    // A device that acts by itself when its time comes (the watchdog fires): when that is, or nothing;
    // what it does then. What the trace says of it when the run ends ("" for nothing). nullptr: none.
    std::optional<std::uint64_t> (*due)(const device_context &c);
    void (*expire)(device_context &c);
    std::string (*end_note)(const device_context &c);
    // A GPIO line driven to a new level (the chips of a chain are powered by theirs). nullptr: none.
    void (*line_driven)(device_context &c, int line, int level);

    // What the writers draw: a waveform's drawing of the device (nullptr: nothing), the timeline's
    // rows for an event (nullptr: none).
    std::unique_ptr<device_drawing> (*drawing)();
    void (*chart)(const board_event &e, const board_path &where, chart_sink &out);
    // The device's groups of waveform variables, for a viewer's save file (nullptr: none).
    void (*wave_groups)(std::vector<wave_group> &out);
};

// The devices of the board, in the order their states, waveform variables and timeline rows come.
std::span<const device *const> board_devices();
std::size_t rank_of(const device *d);
device_states new_device_states();

// The request the device knows by that number, or nullptr.
const request_info *find_request(const device &d, unsigned long number);

template <typename T> T &state_of(const device_states &states, const device &d) {
    return static_cast<T &>(*states[rank_of(&d)]);
}

// What the devices share: a failure with its errno; a whole decimal number and nothing else, as a path
// spells it ("896"); a decimal number as a sysfs attribute takes it ("+896"); the read of a text
// attribute whose whole content is `content`, from the file's offset.
ssize_t fail_with(int error);
std::optional<int> whole_number(std::string_view text);
std::optional<long long> attribute_number(std::string_view text);
ssize_t read_attribute(open_file &f, std::string_view content, void *buf, std::size_t count);

// The devices, and what each lets a test read back (boardsim.h).
extern const device gpio_lines;
extern const device fclk;
extern const device spi_ports;
extern const device voltage_generator;
extern const device watchdog_device;

std::optional<gpio_state> gpio_line(const device_states &states, int line);
std::string fclk_rate_written(const device_states &states);
int fclk_exports(const device_states &states);
spi_port_state spi_port(const device_states &states, int bus);
std::vector<frame> chain_frames(const device_states &states, int chain);
watchdog_state watchdog(const device_states &states);
std::vector<long> vidgen_args(const device_states &states);

} // namespace boardsim::detail
