// board_ops: a fixed list of board operations, each result printed exactly (return value, error
// name, bytes read back). Run on the emulated board's real kernel and under boardsim with the
// scenario that mirrors it, the two outputs must be the same line for line.
#include "board_io.h"
#include "board_requests.h"
#include "zynq_spi.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// A PL061 line no driver holds on the emulated board, and a line of the controller board's wiring
// that does not exist there.
constexpr int free_line = 2045;
constexpr int missing_line = 872;

constexpr const char *watchdog_path = "/dev/watchdog0";

void print_bytes(const void *data, std::size_t len, bool text) {
    const auto *b = static_cast<const unsigned char *>(data);
    std::fputs(text ? "\"" : "[", stdout);
    for (std::size_t i = 0; i < len; ++i) {
        if (!text)
            std::printf(i == 0 ? "%02X" : " %02X", b[i]);
        else if (b[i] == '\0')
            std::fputs("\\0", stdout);
        else if (b[i] == '\n')
            std::fputs("\\n", stdout);
        else if (b[i] < 0x20 || b[i] >= 0x7f || b[i] == '"' || b[i] == '\\')
            std::printf("\\x%02x", b[i]);
        else
            std::putchar(b[i]);
    }
    std::fputs(text ? "\"" : "]", stdout);
}

// A call's result and the error it left, taken before anything else can touch errno.
struct outcome {
    long result;
    int error;
};
outcome done(long result) {
    return {result, errno};
}

// " = N" or " = -1 ENAME".
void print_result(outcome o) {
    if (o.result >= 0)
        std::printf(" = %ld", o.result);
    else
        std::printf(" = -1 %s", strerrorname_np(o.error));
}

// Opens path, printing the outcome; -1 when it did not open.
int open_traced(const char *path, int flags, const char *flag_name) {
    const outcome fd = done(::open(path, flags));
    std::printf("open %s %s", path, flag_name);
    print_result(fd);
    std::putchar('\n');
    return static_cast<int>(fd.result);
}

void close_traced(int fd, const char *path) {
    const outcome rc = done(::close(fd));
    std::printf("close %s", path);
    print_result(rc);
    std::putchar('\n');
}

void write_file(const char *path, std::string_view bytes) {
    const int fd = open_traced(path, O_WRONLY, "O_WRONLY");
    if (fd < 0) return;
    const outcome n = done(::write(fd, bytes.data(), bytes.size()));
    std::printf("write %s ", path);
    print_bytes(bytes.data(), bytes.size(), true);
    print_result(n);
    std::putchar('\n');
    close_traced(fd, path);
}

void read_file(const char *path) {
    const int fd = open_traced(path, O_RDONLY, "O_RDONLY");
    if (fd < 0) return;
    std::array<char, 32> buf{};
    const outcome n = done(::read(fd, buf.data(), buf.size()));
    std::printf("read %s", path);
    print_result(n);
    if (n.result > 0) {
        std::putchar(' ');
        print_bytes(buf.data(), static_cast<std::size_t>(n.result), true);
    }
    std::putchar('\n');
    close_traced(fd, path);
}

struct decimal_text {
    std::array<char, 12> digits{};
    int len = 0;
    [[nodiscard]] std::string_view view() const { return {digits.data(), static_cast<std::size_t>(len)}; }
};
decimal_text decimal(int n) {
    decimal_text d;
    d.len = std::snprintf(d.digits.data(), d.digits.size(), "%d", n);
    return d;
}

using path_buffer = std::array<char, 64>;
path_buffer line_file(int line, const char *attribute) {
    path_buffer path{};
    std::snprintf(path.data(), path.size(), "/sys/class/gpio/gpio%d/%s", line, attribute);
    return path;
}

void gpio_operations() {
    using namespace std::string_view_literals;
    constexpr const char *export_path = "/sys/class/gpio/export";
    const path_buffer direction = line_file(free_line, "direction");
    const path_buffer value = line_file(free_line, "value");
    const decimal_text number = decimal(free_line);

    write_file(export_path, number.view()); // the number alone, as gpio_export writes it
    write_file(export_path, number.view()); // exported already
    write_file(direction.data(), "out\0"sv);
    read_file(direction.data());
    read_file(value.data()); // "out" drives the line low
    write_file(value.data(), "1\0"sv);
    read_file(value.data());
    std::printf("gpio_get_value(%d) = %d\n", free_line, gpio_get_value(free_line));
    write_file(value.data(), "0\0"sv);
    std::printf("gpio_get_value(%d) = %d\n", free_line, gpio_get_value(free_line));
    write_file(direction.data(), "in\0"sv);
    read_file(direction.data());
    write_file(value.data(), "1\0"sv); // an input's value cannot be written
    read_file(value.data());
    write_file("/sys/class/gpio/unexport", number.view());
    write_file("/sys/class/gpio/unexport", number.view());
    read_file(value.data());
    read_file(export_path); // the attribute can only be written

    const path_buffer missing_direction = line_file(missing_line, "direction");
    write_file(export_path, decimal(missing_line).view());
    write_file(missing_direction.data(), "out\0"sv);
    std::printf("gpio_get_value(%d) = %d\n", missing_line, gpio_get_value(missing_line));
}

struct spi_request {
    const char *name;
    unsigned long number;
    bool wide; // 32-bit speed instead of an 8-bit field
};
constexpr std::array<spi_request, 6> spi_requests{{
    {"SPI_IOC_WR_MODE", board_request::spi_wr_mode, false},
    {"SPI_IOC_RD_MODE", board_request::spi_rd_mode, false},
    {"SPI_IOC_WR_BITS_PER_WORD", board_request::spi_wr_bits, false},
    {"SPI_IOC_RD_BITS_PER_WORD", board_request::spi_rd_bits, false},
    {"SPI_IOC_WR_MAX_SPEED_HZ", board_request::spi_wr_speed, true},
    {"SPI_IOC_RD_MAX_SPEED_HZ", board_request::spi_rd_speed, true},
}};

void spi_operations() {
    // The six requests one by one, with what the driver stores into the argument.
    constexpr const char *port = "/dev/spidev0.0";
    const int fd = open_traced(port, O_RDWR, "O_RDWR");
    if (fd >= 0) {
        spi_config config = chain_spi_config(0);
        for (const spi_request &r : spi_requests) {
            void *field = &config.mode;
            if (r.wide)
                field = &config.speed;
            else if (std::strstr(r.name, "BITS") != nullptr)
                field = &config.bits;
            const unsigned before = r.wide ? config.speed : *static_cast<std::uint8_t *>(field);
            const outcome rc = done(::ioctl(fd, r.number, field));
            const unsigned after = r.wide ? config.speed : *static_cast<std::uint8_t *>(field);
            std::printf("ioctl %s %s %u -> %u", port, r.name, before, after);
            print_result(rc);
            std::putchar('\n');
        }
        // A transfer longer than the driver's buffer, and a speed of 0.
        static std::array<std::uint8_t, 4097> block{};
        const outcome w = done(::write(fd, block.data(), block.size()));
        std::printf("write %s (%zu)", port, block.size());
        print_result(w);
        std::putchar('\n');
        const outcome r = done(::read(fd, block.data(), block.size()));
        std::printf("read %s (%zu)", port, block.size());
        print_result(r);
        std::putchar('\n');
        std::uint32_t speed = 0;
        const outcome s0 = done(::ioctl(fd, spi_requests[4].number, &speed));
        std::printf("ioctl %s %s 0", port, spi_requests[4].name);
        print_result(s0);
        std::putchar('\n');
        close_traced(fd, port);
    }

    // The same through the port layer, then one transfer each way.
    for (const std::int32_t bus : {0, 1}) {
        spi_config config = chain_spi_config(bus);
        spi_ctx *spi = spi_init(&config);
        const int error = errno;
        std::printf("spi_init /dev/spidev%d.0 = %s", bus, spi != nullptr ? "ctx" : "none");
        if (spi == nullptr) {
            std::printf(" (%s)\n", strerrorname_np(error));
            continue;
        }
        std::printf(" mode %u bits %u speed %u\n", spi->config.mode, spi->config.bits, spi->config.speed);
        constexpr std::array<std::uint8_t, 2> frame{0x04, 0x00};
        std::printf("spi_write_data [04 00] = %u\n", spi_write_data(spi, frame.data(), 2));
        std::array<std::uint8_t, 2> reply{0xAA, 0xAA};
        std::printf("spi_read_data 2 = %u ", spi_read_data(spi, reply.data(), 2));
        print_bytes(reply.data(), reply.size(), false);
        std::putchar('\n');
        spi_exit(spi);
    }
}

void watchdog_request(int fd, const char *name, unsigned long number, int value) {
    const int before = value;
    const outcome rc = done(::ioctl(fd, number, &value));
    std::printf("ioctl %s %s %d -> %d", watchdog_path, name, before, value);
    print_result(rc);
    std::putchar('\n');
}

void watchdog_operations() {
    const int fd = open_traced(watchdog_path, O_WRONLY, "O_WRONLY");
    if (fd < 0) return;
    watchdog_request(fd, "WDIOC_SETTIMEOUT", board_request::wdioc_settimeout, 30);
    watchdog_request(fd, "WDIOC_SETTIMEOUT", board_request::wdioc_settimeout, 0);
    watchdog_request(fd, "WDIOC_SETTIMEOUT", board_request::wdioc_settimeout, 65536);
    watchdog_request(fd, "WDIOC_KEEPALIVE", board_request::wdioc_keepalive, 0);
    const int second = open_traced(watchdog_path, O_WRONLY, "O_WRONLY");
    if (second >= 0) close_traced(second, watchdog_path);
    // The magic character: the close that follows stops the watchdog instead of leaving it to fire.
    const outcome n = done(::write(fd, "V", 1));
    std::printf("write %s \"V\"", watchdog_path);
    print_result(n);
    std::putchar('\n');
    close_traced(fd, watchdog_path);
}

} // namespace

int main() {
    gpio_operations();
    spi_operations();
    watchdog_operations();
    return 0;
}
