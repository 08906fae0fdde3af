// GPIO lines through sysfs: export and unexport, and each exported line's direction and value.
#include "devices/device.h"

#include "number.h"

#include <cerrno>
#include <fcntl.h>
#include <map>

namespace boardsim::detail {

namespace {

enum file : int { export_file, unexport_file, direction_file, value_file };

// The highest line number the board's GPIO controllers could have.
constexpr long long line_max = 100000;

struct gpio_line {
    bool exported = false;
    bool output = false;
    int level = 0;
};

struct lines_state final : device_state {
    std::map<int, gpio_line> lines;
};

lines_state &state(const device_context &c) {
    return state_of<lines_state>(c.states, gpio_lines);
}

board_path file(std::string_view rest) {
    if (rest == "export") return {.file = export_file};
    if (rest == "unexport") return {.file = unexport_file};
    const std::size_t slash = rest.find('/');
    if (!rest.starts_with("gpio") || slash == std::string_view::npos) return {};
    const std::optional<int> line = whole_number(rest.substr(4, slash - 4));
    const std::string_view attribute = rest.substr(slash + 1);
    if (line && attribute == "direction") return {.file = direction_file, .index = *line};
    if (line && attribute == "value") return {.file = value_file, .index = *line};
    return {};
}

const gpio_setup *setup_of(const scenario &s, int line) {
    const auto it = s.gpio.find(line);
    return it == s.gpio.end() ? nullptr : &it->second;
}

int open(device_context &c, const board_path &where, int flags) {
    if (where.file == export_file || where.file == unexport_file)
        return (flags & O_ACCMODE) == O_WRONLY ? 0 : EACCES; // write-only attributes
    const gpio_setup *s = setup_of(c.setup, where.index);
    const auto &lines = state(c).lines;
    const auto it = lines.find(where.index);
    const bool exported = it != lines.end() && it->second.exported;
    return exported && (s == nullptr || !s->broken) ? 0 : ENOENT;
}

ssize_t read(device_context &c, open_file &f, void *buf, std::size_t count) {
    const int line = f.where.index;
    const gpio_line &g = state(c).lines[line];
    switch (f.where.file) {
    case direction_file:
        return read_attribute(f, g.output ? "out\n" : "in\n", buf, count);
    case value_file: {
        if (g.output) return read_attribute(f, g.level != 0 ? "1\n" : "0\n", buf, count);
        if (const gpio_setup *s = setup_of(c.setup, line); s != nullptr && s->reads)
            return read_attribute(f, *s->reads, buf, count);
        if (line >= insertion_line_base && line < insertion_line_base + chain_count)
            return read_attribute(f, c.setup.chains[line - insertion_line_base].inserted ? "0\n" : "1\n", buf,
                                  count);
        return read_attribute(f, "0\n", buf, count);
    }
    default:
        return fail_with(EINVAL);
    }
}

ssize_t write_export(device_context &c, std::string_view text, std::size_t count, bool unexport) {
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0 || *n > line_max) return fail_with(EINVAL);
    if (const gpio_setup *s = setup_of(c.setup, static_cast<int>(*n)); s != nullptr && s->absent)
        return fail_with(EINVAL);
    gpio_line &g = state(c).lines[static_cast<int>(*n)];
    if (!unexport) {
        if (g.exported) return fail_with(EBUSY);
        g = gpio_line{.exported = true, .output = false, .level = 0};
    } else {
        if (!g.exported) return fail_with(EINVAL);
        g.exported = false;
    }
    return static_cast<ssize_t>(count);
}

// A direction the kernel takes: "in", or "out" (low), "low" or "high" for an output at that level.
std::optional<int> output_level(std::string_view direction) {
    if (direction == "out" || direction == "low") return 0;
    if (direction == "high") return 1;
    return std::nullopt;
}

// The level the line drives: an output's, or none (low) for an input.
int driven(const gpio_line &g) {
    return g.output ? g.level : 0;
}

// A line driven to a new level: the devices that hang on GPIO lines hear of it.
void drive(device_context &c, int line, gpio_line &g, bool output, int level) {
    const int before = driven(g);
    g.output = output;
    g.level = level;
    if (driven(g) == before) return;
    for (const device *d : board_devices())
        if (d->line_driven != nullptr) d->line_driven(c, line, driven(g));
}

ssize_t write(device_context &c, open_file &f, const board_event &e, const void * /*buf*/,
              std::size_t count) {
    const std::string text = attribute_text(e);
    if (f.where.file == export_file || f.where.file == unexport_file)
        return write_export(c, text, count, f.where.file == unexport_file);
    gpio_line &g = state(c).lines[f.where.index];
    if (f.where.file == direction_file) {
        if (const std::optional<int> level = output_level(text)) {
            drive(c, f.where.index, g, true, *level);
        } else if (text == "in") {
            drive(c, f.where.index, g, false, g.level);
        } else {
            return fail_with(EINVAL);
        }
        return static_cast<ssize_t>(count);
    }
    if (!g.output) return fail_with(EPERM);
    const std::optional<long long> n = attribute_number(text);
    if (!n) return fail_with(EINVAL);
    drive(c, f.where.index, g, true, *n != 0 ? 1 : 0);
    return static_cast<ssize_t>(count);
}

int ioctl(device_context & /*c*/, open_file & /*f*/, const board_event & /*e*/, void * /*arg*/) {
    return static_cast<int>(fail_with(ENOTTY));
}

void close(device_context & /*c*/, open_file & /*f*/) {}

// ---- what the writers draw ----

// The line a successful export names, or nothing.
std::optional<int> exported_line(const board_event &e, const board_path &where) {
    if (where.file != export_file || e.kind != event_kind::write) return std::nullopt;
    const std::optional<int> line = parse_number<int>(attribute_text(e));
    if (!line || *line < 0) return std::nullopt;
    return line;
}

// The level an event shows on its line: a direction that drives it, what was written to or read from
// its value (an output carries what was written, an input what the board delivered).
std::optional<int> shown_level(const board_event &e, const board_path &where) {
    if (where.file == direction_file && e.kind == event_kind::write) return output_level(attribute_text(e));
    if (where.file == value_file && (e.kind == event_kind::write || e.kind == event_kind::read) &&
        !e.data.empty())
        return e.data[0] == '0' ? 0 : 1;
    return std::nullopt;
}

std::string wire(int line) {
    return "gpio" + std::to_string(line);
}

// A wire per line, unknown ("x") from its export until a level is known.
struct lines_drawing final : device_drawing {
    void draw(const board_event &e, const board_path &where, std::uint64_t at, wave_sink &out) override {
        if (const std::optional<int> line = exported_line(e, where)) out.wire(wire(*line), 'x');
        if (const std::optional<int> level = shown_level(e, where)) {
            out.wire(wire(where.index), 'x');
            out.level(at, wire(where.index), *level != 0 ? '1' : '0');
        }
    }
};

// A row per line, from its export.
void chart(const board_event &e, const board_path &where, chart_sink &out) {
    if (const std::optional<int> line = exported_line(e, where)) out.level_row(*line, wire(*line));
    if (const std::optional<int> level = shown_level(e, where))
        out.level(where.index, wire(where.index), e.time_us, *level);
}

} // namespace

constexpr device gpio_lines{
    .prefix = "/sys/class/gpio/",
    .text = true,
    .requests = {},
    .file = file,
    .new_state = [] { return std::unique_ptr<device_state>(new lines_state); },
    .open = open,
    .read = read,
    .write = write,
    .ioctl = ioctl,
    .close = close,
    .due = nullptr,
    .expire = nullptr,
    .end_note = nullptr,
    .line_driven = nullptr,
    .drawing = [] { return std::unique_ptr<device_drawing>(new lines_drawing); },
    .chart = chart,
    .wave_groups = nullptr,
};

std::optional<gpio_state> gpio_line(const device_states &states, int line) {
    const auto &lines = state_of<lines_state>(states, gpio_lines).lines;
    const auto it = lines.find(line);
    if (it == lines.end()) return std::nullopt;
    return gpio_state{it->second.exported, it->second.output, it->second.level};
}

} // namespace boardsim::detail
