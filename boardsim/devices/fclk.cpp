// The fabric clock fclk1, through the device-configuration driver's sysfs files: fclk_export takes
// "fclk1", set_rate a decimal rate, which it reads back.
#include "devices/device.h"

#include <cerrno>

namespace boardsim::detail {

namespace {

enum file : int { export_file, rate_file };

constexpr std::string_view initial_rate = "100000000\n";

struct clock_state final : device_state {
    std::string written; // the last rate written to set_rate, as written
    int exports = 0;
};

clock_state &state(const device_states &states) {
    return state_of<clock_state>(states, fclk);
}

board_path file(std::string_view rest) {
    if (rest == "fclk_export") return {.file = export_file};
    if (rest == "fclk/fclk1/set_rate") return {.file = rate_file, .index = 1};
    return {};
}

int open(device_context &c, const board_path & /*where*/, int /*flags*/) {
    return c.setup.fclk_present ? 0 : ENOENT;
}

ssize_t read(device_context &c, open_file &f, void *buf, std::size_t count) {
    if (f.where.file == export_file) return fail_with(EIO);
    if (c.setup.fclk_readback) return read_attribute(f, *c.setup.fclk_readback, buf, count);
    const std::string &written = state(c.states).written;
    return read_attribute(f, written.empty() ? std::string{initial_rate} : written + "\n", buf, count);
}

ssize_t write(device_context &c, open_file &f, const board_event &e, const void * /*buf*/,
              std::size_t count) {
    const std::string text = attribute_text(e);
    if (f.where.file == export_file) {
        if (text != "fclk1") return fail_with(EINVAL);
        ++state(c.states).exports;
        return static_cast<ssize_t>(count);
    }
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0) return fail_with(EINVAL);
    state(c.states).written = text;
    return static_cast<ssize_t>(count);
}

int ioctl(device_context & /*c*/, open_file & /*f*/, const board_event & /*e*/, void * /*arg*/) {
    return static_cast<int>(fail_with(ENOTTY));
}

void close(device_context & /*c*/, open_file & /*f*/) {}

// Each rate written, as text.
struct clock_drawing final : device_drawing {
    void draw(const board_event &e, const board_path &where, std::uint64_t at, wave_sink &out) override {
        if (where.file == rate_file && e.kind == event_kind::write)
            out.text(at, "fclk1_rate", attribute_text(e));
    }
};

} // namespace

constexpr device fclk{
    .prefix = "/sys/devices/soc0/amba/f8007000.devcfg/",
    .text = true,
    .requests = {},
    .file = file,
    .new_state = [] { return std::unique_ptr<device_state>(new clock_state); },
    .open = open,
    .read = read,
    .write = write,
    .ioctl = ioctl,
    .close = close,
    .due = nullptr,
    .expire = nullptr,
    .end_note = nullptr,
    .line_driven = nullptr,
    .drawing = [] { return std::unique_ptr<device_drawing>(new clock_drawing); },
    .chart = nullptr,
    .wave_groups =
        [](std::vector<wave_group> &out) {
            out.push_back({"clock", {"fclk1_rate"}});
        },
};

std::string fclk_rate_written(const device_states &states) {
    return state(states).written;
}

int fclk_exports(const device_states &states) {
    return state(states).exports;
}

} // namespace boardsim::detail
