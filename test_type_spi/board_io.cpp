#include "board_io.h"

#include "board_requests.h"
#include "decimal.h"
#include "unique_fd.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr const char *gpio_export_path = "/sys/class/gpio/export";
constexpr const char *fclk_export_path = "/sys/devices/soc0/amba/f8007000.devcfg/fclk_export";
constexpr const char *fclk1_rate_path = "/sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate";
constexpr const char *vidgen_path = "/dev/vidgen0.0";
constexpr std::int32_t vidgen_enable_bit = 0x100;
constexpr std::size_t rate_text_max = 12;

using path_buffer = std::array<char, 64>;

path_buffer gpio_path(std::int32_t gpio, const char *attribute) {
    path_buffer path{};
    std::snprintf(path.data(), path.size(), "/sys/class/gpio/gpio%d/%s", gpio, attribute);
    return path;
}

// One open, one write, one close. The write's result is ignored: sysfs attributes either take the
// bytes or refuse them, and the callers go on either way. False only when the file cannot be opened.
bool write_file_once(const char *path, const void *bytes, std::size_t len) {
    unique_fd fd{::open(path, O_WRONLY)};
    if (!fd.is_open()) return false;
    [[maybe_unused]] const ssize_t written = ::write(fd.get(), bytes, len);
    return true;
}

// One open, one read of up to len bytes into a buffer the caller has zeroed, one close.
bool read_file_once(const char *path, void *buf, std::size_t len) {
    unique_fd fd{::open(path, O_RDONLY)};
    if (!fd.is_open()) return false;
    [[maybe_unused]] const ssize_t got = ::read(fd.get(), buf, len);
    return true;
}

std::int32_t read_rate() {
    std::array<char, rate_text_max + 1> text{};
    if (!read_file_once(fclk1_rate_path, text.data(), rate_text_max)) return -1;
    return parse_decimal(text.data());
}

} // namespace

void gpio_export(std::int32_t gpio, std::int32_t is_input) {
    std::array<char, 16> number{};
    const int len = std::snprintf(number.data(), number.size(), "%d", gpio);
    if (!write_file_once(gpio_export_path, number.data(), static_cast<std::size_t>(len))) return;

    // The driver takes the direction with its terminating NUL: "out" is 4 bytes, "in" is 3.
    static constexpr char out[] = "out";
    static constexpr char in[] = "in";
    const path_buffer direction = gpio_path(gpio, "direction");
    if (is_input == 0)
        write_file_once(direction.data(), out, sizeof out);
    else
        write_file_once(direction.data(), in, sizeof in);
}

void gpio_set_value(std::int32_t gpio, std::int32_t value) {
    static constexpr char low[] = "0";
    static constexpr char high[] = "1";
    const path_buffer path = gpio_path(gpio, "value");
    write_file_once(path.data(), value == 0 ? low : high, sizeof low);
}

std::int32_t gpio_get_value(std::int32_t gpio) {
    const path_buffer path = gpio_path(gpio, "value");
    char level = 0;
    if (!read_file_once(path.data(), &level, 1)) return -1;
    return level == '0' ? 0 : 1;
}

void fclk_export() {
    static constexpr char name[] = "fclk1";
    write_file_once(fclk_export_path, name, sizeof name - 1);
}

std::int32_t fclk_set_rate(std::int32_t rate) {
    // The driver takes the rate times 16; refuse what that product cannot hold.
    if (rate > INT32_MAX / 16 || rate < INT32_MIN / 16) return -1;
    std::array<char, 16> text{};
    const int len = std::snprintf(text.data(), text.size(), "%d", rate * 16);
    if (!write_file_once(fclk1_rate_path, text.data(), static_cast<std::size_t>(len))) return -1;
    return read_rate();
}

std::int32_t fclk_get_rate() {
    return read_rate();
}

void vid_set_value(std::int32_t value) {
    unique_fd fd{::open(vidgen_path, O_RDWR)};
    if (!fd.is_open()) {
        std::fprintf(stderr, "open %s fail.\n", vidgen_path);
        return;
    }
    // The driver takes the value itself as the argument, not a pointer to it.
    if (::ioctl(fd.get(), board_request::vidgen_set, static_cast<unsigned long>(value | vidgen_enable_bit)) <
        0)
        std::fputs("set vid value fail.\n", stderr);
}
