// GPIO lines through sysfs: export and unexport, and each exported line's direction and value.
#include "model.h"

#include <cerrno>
#include <fcntl.h>

namespace boardsim::detail {

namespace {

board_path file(std::string_view rest) {
    if (rest == "export") return {file_kind::gpio_export, 0};
    if (rest == "unexport") return {file_kind::gpio_unexport, 0};
    const std::size_t slash = rest.find('/');
    if (!rest.starts_with("gpio") || slash == std::string_view::npos) return {};
    const std::optional<int> line = whole_number(rest.substr(4, slash - 4));
    const std::string_view attribute = rest.substr(slash + 1);
    if (line && attribute == "direction") return {file_kind::gpio_direction, *line};
    if (line && attribute == "value") return {file_kind::gpio_value, *line};
    return {};
}

const gpio_setup *setup_of(const board &b, int line) {
    const auto it = b.setup.gpio.find(line);
    return it == b.setup.gpio.end() ? nullptr : &it->second;
}

int open(board &b, const board_path &where, int flags) {
    if (where.kind == file_kind::gpio_export || where.kind == file_kind::gpio_unexport)
        return (flags & O_ACCMODE) == O_WRONLY ? 0 : EACCES; // write-only attributes
    const gpio_setup *s = setup_of(b, where.index);
    const auto it = b.devices.gpio.find(where.index);
    const bool exported = it != b.devices.gpio.end() && it->second.exported;
    return exported && (s == nullptr || !s->broken) ? 0 : ENOENT;
}

ssize_t read(board &b, open_file &f, void *buf, std::size_t count) {
    const int line = f.where.index;
    const gpio_line &g = b.devices.gpio[line];
    switch (f.where.kind) {
    case file_kind::gpio_direction:
        return read_attribute(f, g.output ? "out\n" : "in\n", buf, count);
    case file_kind::gpio_value: {
        if (g.output) return read_attribute(f, g.level != 0 ? "1\n" : "0\n", buf, count);
        if (const gpio_setup *s = setup_of(b, line); s != nullptr && s->reads)
            return read_attribute(f, *s->reads, buf, count);
        if (line >= insertion_line_base && line < insertion_line_base + chain_count)
            return read_attribute(f, b.setup.chains[line - insertion_line_base].inserted ? "0\n" : "1\n", buf,
                                  count);
        return read_attribute(f, "0\n", buf, count);
    }
    default:
        return fail_with(EINVAL);
    }
}

ssize_t write_export(board &b, std::string_view text, std::size_t count, bool unexport) {
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0 || *n > 100000) return fail_with(EINVAL);
    if (const gpio_setup *s = setup_of(b, static_cast<int>(*n)); s != nullptr && s->absent)
        return fail_with(EINVAL);
    gpio_line &g = b.devices.gpio[static_cast<int>(*n)];
    if (!unexport) {
        if (g.exported) return fail_with(EBUSY);
        g = gpio_line{.exported = true, .output = false, .level = 0};
    } else {
        if (!g.exported) return fail_with(EINVAL);
        g.exported = false;
    }
    return static_cast<ssize_t>(count);
}

ssize_t write(board &b, open_file &f, const board_event &e, const void * /*buf*/, std::size_t count) {
    const std::string text = attribute_text(e);
    if (f.where.kind == file_kind::gpio_export || f.where.kind == file_kind::gpio_unexport)
        return write_export(b, text, count, f.where.kind == file_kind::gpio_unexport);
    gpio_line &g = b.devices.gpio[f.where.index];
    switch (f.where.kind) {
    case file_kind::gpio_direction:
        if (text == "in") {
            g.output = false;
        } else if (text == "out" || text == "low" || text == "high") {
            g.output = true;
            g.level = text == "high" ? 1 : 0;
        } else {
            return fail_with(EINVAL);
        }
        return static_cast<ssize_t>(count);
    default: {
        if (!g.output) return fail_with(EPERM);
        const std::optional<long long> n = attribute_number(text);
        if (!n) return fail_with(EINVAL);
        g.level = *n != 0 ? 1 : 0;
        return static_cast<ssize_t>(count);
    }
    }
}

int ioctl(board & /*b*/, open_file & /*f*/, board_event & /*e*/, unsigned long /*request*/, void * /*arg*/) {
    return static_cast<int>(fail_with(ENOTTY));
}

void close(board & /*b*/, open_file & /*f*/) {}

} // namespace

const device gpio_lines{"/sys/class/gpio/", file, open, read, write, ioctl, close};

} // namespace boardsim::detail
