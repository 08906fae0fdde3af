// The fabric clock fclk1, through the device-configuration driver's sysfs files: fclk_export takes
// "fclk1", set_rate a decimal rate, which it reads back.
#include "model.h"

#include <cerrno>

namespace boardsim::detail {

namespace {

constexpr std::string_view initial_rate = "100000000\n";

board_path file(std::string_view rest) {
    if (rest == "fclk_export") return {file_kind::fclk_export, 0};
    if (rest == "fclk/fclk1/set_rate") return {file_kind::fclk_rate, 1};
    return {};
}

int open(board &b, const board_path & /*where*/, int /*flags*/) {
    return b.setup.fclk_present ? 0 : ENOENT;
}

ssize_t read(board &b, open_file &f, void *buf, std::size_t count) {
    if (f.where.kind == file_kind::fclk_export) return fail_with(EIO);
    if (b.setup.fclk_readback) return read_attribute(f, *b.setup.fclk_readback, buf, count);
    const std::string &written = b.devices.fclk_written;
    return read_attribute(f, written.empty() ? std::string{initial_rate} : written + "\n", buf, count);
}

ssize_t write(board &b, open_file &f, const board_event &e, const void * /*buf*/, std::size_t count) {
    const std::string text = attribute_text(e);
    if (f.where.kind == file_kind::fclk_export) {
        if (text != "fclk1") return fail_with(EINVAL);
        ++b.devices.fclk_exports;
        return static_cast<ssize_t>(count);
    }
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0) return fail_with(EINVAL);
    b.devices.fclk_written = text;
    return static_cast<ssize_t>(count);
}

int ioctl(board & /*b*/, open_file & /*f*/, board_event & /*e*/, unsigned long /*request*/, void * /*arg*/) {
    return static_cast<int>(fail_with(ENOTTY));
}

void close(board & /*b*/, open_file & /*f*/) {}

} // namespace

const device fclk{"/sys/devices/soc0/amba/f8007000.devcfg/", file, open, read, write, ioctl, close};

} // namespace boardsim::detail
