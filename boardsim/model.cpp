// The board's files: what exists, what each open, read, write, request and close does, and the trace.
#include "model.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace boardsim::detail {

namespace {

board *the_board = nullptr;

constexpr std::string_view gpio_dir = "/sys/class/gpio/";
constexpr std::string_view devcfg_dir = "/sys/devices/soc0/amba/f8007000.devcfg/";
constexpr std::string_view fclk_export_path = "/sys/devices/soc0/amba/f8007000.devcfg/fclk_export";
constexpr std::string_view fclk_rate_path = "/sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate";
constexpr std::string_view fclk_initial_rate = "100000000\n";

constexpr unsigned long vidgen_set = 0x80046400;
constexpr unsigned long wdioc_settimeout = 0xC0045706;
constexpr unsigned long wdioc_keepalive = 0x80045705;
constexpr unsigned long wdioc_gettimeout = 0x80045707;

struct spi_request_info {
    unsigned long number;
    const char *name;
    spi_request which;
};
constexpr std::array<spi_request_info, 6> spi_requests{{
    {0x40016b01, "SPI_IOC_WR_MODE", spi_request::wr_mode},
    {0x80016b01, "SPI_IOC_RD_MODE", spi_request::rd_mode},
    {0x40016b03, "SPI_IOC_WR_BITS_PER_WORD", spi_request::wr_bits},
    {0x80016b03, "SPI_IOC_RD_BITS_PER_WORD", spi_request::rd_bits},
    {0x40046b04, "SPI_IOC_WR_MAX_SPEED_HZ", spi_request::wr_speed},
    {0x80046b04, "SPI_IOC_RD_MAX_SPEED_HZ", spi_request::rd_speed},
}};

// A whole decimal number and nothing else: "896", as the path of a GPIO line spells it.
std::optional<int> whole_number(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 6) return std::nullopt;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

// What a sysfs attribute takes from a write: the text up to the first NUL, less one trailing newline.
std::string_view attribute_text(const void *buf, std::size_t count) {
    std::string_view text{static_cast<const char *>(buf), count};
    text = text.substr(0, text.find('\0'));
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

std::optional<long long> attribute_number(std::string_view text) {
    long long value = 0;
    const char *first = text.data();
    if (!text.empty() && text[0] == '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

const char *errno_name(int e) {
    switch (e) {
    case ENOENT:
        return "ENOENT";
    case EIO:
        return "EIO";
    case EBADF:
        return "EBADF";
    case EBUSY:
        return "EBUSY";
    case EINVAL:
        return "EINVAL";
    case EPERM:
        return "EPERM";
    case ENOTTY:
        return "ENOTTY";
    case EACCES:
        return "EACCES";
    case EMSGSIZE:
        return "EMSGSIZE";
    case EFAULT:
        return "EFAULT";
    default:
        return "E?";
    }
}

std::string flags_text(int flags) {
    std::string text;
    switch (flags & O_ACCMODE) {
    case O_RDONLY:
        text = "O_RDONLY";
        break;
    case O_WRONLY:
        text = "O_WRONLY";
        break;
    case O_RDWR:
        text = "O_RDWR";
        break;
    default:
        text = "O_ACCMODE";
        break;
    }
    int rest = flags & ~O_ACCMODE;
#ifdef O_LARGEFILE
    rest &= ~O_LARGEFILE; // added by the 32-bit C library on its own; not the program's choice
#endif
    constexpr std::array<std::pair<int, const char *>, 8> named{{{O_CREAT, "O_CREAT"},
                                                                 {O_EXCL, "O_EXCL"},
                                                                 {O_NOCTTY, "O_NOCTTY"},
                                                                 {O_TRUNC, "O_TRUNC"},
                                                                 {O_APPEND, "O_APPEND"},
                                                                 {O_NONBLOCK, "O_NONBLOCK"},
                                                                 {O_SYNC, "O_SYNC"},
                                                                 {O_CLOEXEC, "O_CLOEXEC"}}};
    for (const auto &[bit, name] : named) {
        if ((rest & bit) == bit) {
            text += '|';
            text += name;
            rest &= ~bit;
        }
    }
    if (rest != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "|0x%x", static_cast<unsigned>(rest));
        text += hex;
    }
    return text;
}

bool is_text_file(file_kind kind) {
    return kind != file_kind::spidev && kind != file_kind::vidgen && kind != file_kind::watchdog;
}

void append_hex(std::string &out, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    out += text;
}

board &the() {
    return *the_board;
}

// Counts one board operation and tells whether fault injection picks it.
bool next_op_fails(board &b) {
    ++b.ops;
    return b.fail_at != 0 && b.ops == b.fail_at;
}

std::string op_prefix(const board &b) {
    std::string text = "#";
    text += std::to_string(b.ops);
    text += ' ';
    return text;
}

std::string result_text(ssize_t result, int error, bool injected) {
    if (result >= 0) {
        std::string text = "= ";
        text += std::to_string(result);
        return text;
    }
    std::string text = "= -1 ";
    text += errno_name(error);
    if (injected) text += " (injected)";
    return text;
}

ssize_t fail_with(int error) {
    errno = error;
    return -1;
}

// The bytes a read of a sysfs attribute delivers, whole; reads take their part from the file offset.
std::string attribute_content(board &b, const open_file &f) {
    const int line = f.where.index;
    switch (f.where.kind) {
    case file_kind::gpio_direction:
        return b.gpio[line].output ? "out\n" : "in\n";
    case file_kind::gpio_value: {
        const gpio_line &g = b.gpio[line];
        if (g.output) return g.level != 0 ? "1\n" : "0\n";
        if (auto it = b.setup.gpio.find(line); it != b.setup.gpio.end() && it->second.reads)
            return *it->second.reads;
        if (line >= insertion_line_base && line < insertion_line_base + chain_count)
            return b.setup.chains[line - insertion_line_base].inserted ? "0\n" : "1\n";
        return "0\n";
    }
    case file_kind::fclk_rate:
        if (b.setup.fclk_readback) return *b.setup.fclk_readback;
        if (b.fclk_written.empty()) return std::string{fclk_initial_rate};
        return b.fclk_written + "\n";
    default:
        return "";
    }
}

bool gpio_file_exists(board &b, int line) {
    auto setup = b.setup.gpio.find(line);
    if (setup != b.setup.gpio.end() && setup->second.broken) return false;
    auto it = b.gpio.find(line);
    return it != b.gpio.end() && it->second.exported;
}

bool file_exists(board &b, const board_path &where) {
    switch (where.kind) {
    case file_kind::gpio_export:
    case file_kind::gpio_unexport:
        return true;
    case file_kind::gpio_direction:
    case file_kind::gpio_value:
        return gpio_file_exists(b, where.index);
    case file_kind::fclk_export:
    case file_kind::fclk_rate:
        return b.setup.fclk_present;
    case file_kind::spidev:
        return where.index >= 0 && where.index < chain_count && b.setup.ports[where.index].present;
    case file_kind::vidgen:
        return b.setup.vidgen_present;
    case file_kind::watchdog:
        return b.setup.watchdog_present;
    case file_kind::missing:
        return false;
    }
    return false;
}

// ---- writes ----

bool gpio_absent(const board &b, int line) {
    const auto it = b.setup.gpio.find(line);
    return it != b.setup.gpio.end() && it->second.absent;
}

ssize_t write_gpio_export(board &b, std::string_view text, std::size_t count, bool unexport) {
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0 || *n > 100000 || gpio_absent(b, static_cast<int>(*n))) return fail_with(EINVAL);
    gpio_line &g = b.gpio[static_cast<int>(*n)];
    if (!unexport) {
        if (g.exported) return fail_with(EBUSY);
        g = gpio_line{.exported = true, .output = false, .level = 0};
    } else {
        if (!g.exported) return fail_with(EINVAL);
        g.exported = false;
    }
    return static_cast<ssize_t>(count);
}

ssize_t write_gpio_direction(board &b, int line, std::string_view text, std::size_t count) {
    gpio_line &g = b.gpio[line];
    if (text == "in") {
        g.output = false;
    } else if (text == "out" || text == "low") {
        g.output = true;
        g.level = 0;
    } else if (text == "high") {
        g.output = true;
        g.level = 1;
    } else {
        return fail_with(EINVAL);
    }
    return static_cast<ssize_t>(count);
}

ssize_t write_gpio_value(board &b, int line, std::string_view text, std::size_t count) {
    gpio_line &g = b.gpio[line];
    if (!g.output) return fail_with(EPERM);
    const std::optional<long long> n = attribute_number(text);
    if (!n) return fail_with(EINVAL);
    g.level = *n != 0 ? 1 : 0;
    return static_cast<ssize_t>(count);
}

ssize_t write_fclk_rate(board &b, std::string_view text, std::size_t count) {
    const std::optional<long long> n = attribute_number(text);
    if (!n || *n < 0) return fail_with(EINVAL);
    b.fclk_written = std::string{text};
    return static_cast<ssize_t>(count);
}

// spidev's transfer buffer (its bufsiz parameter); a longer read or write is refused whole.
constexpr std::size_t spidev_buffer = 4096;

ssize_t write_spidev(board &b, int bus, const void *buf, std::size_t count) {
    if (count > spidev_buffer) return fail_with(EMSGSIZE);
    chain_state &c = b.chains[bus];
    const chain_setup &s = b.setup.chains[bus];
    ++c.writes;
    if (s.writes_ok && c.writes > *s.writes_ok) return fail_with(EIO);
    chips_receive(b, bus, static_cast<const std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

ssize_t read_spidev(board &b, int bus, void *buf, std::size_t count) {
    if (count > spidev_buffer) return fail_with(EMSGSIZE);
    chain_state &c = b.chains[bus];
    const chain_setup &s = b.setup.chains[bus];
    ++c.reads;
    if (s.reads_ok && c.reads > *s.reads_ok) return fail_with(EIO);
    chips_send(b, bus, static_cast<std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

// ---- requests ----

int spi_ioctl(board &b, int bus, unsigned long request, void *arg, std::string &detail) {
    const spi_request_info *info = nullptr;
    for (const spi_request_info &r : spi_requests)
        if (r.number == request) info = &r;
    if (info == nullptr) {
        detail = "request ";
        append_hex(detail, request);
        return static_cast<int>(fail_with(ENOTTY));
    }
    detail = std::string{info->name} + " ";
    append_hex(detail, request);
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));

    const bool speed = info->which == spi_request::wr_speed || info->which == spi_request::rd_speed;
    auto get = [&]() -> std::uint32_t {
        if (speed) {
            std::uint32_t v;
            std::memcpy(&v, arg, sizeof v);
            return v;
        }
        return *static_cast<std::uint8_t *>(arg);
    };
    auto put = [&](std::uint32_t v) {
        if (speed)
            std::memcpy(arg, &v, sizeof v);
        else
            *static_cast<std::uint8_t *>(arg) = static_cast<std::uint8_t>(v);
    };

    detail += ' ';
    detail += std::to_string(get());
    int result = 0;
    const port_setup &p = b.setup.ports[bus];
    spi_port_state &state = b.ports[bus];
    if (p.fail_request == info->which || (info->which == spi_request::wr_speed && get() == 0)) {
        result = static_cast<int>(fail_with(EINVAL));
    } else {
        switch (info->which) {
        case spi_request::wr_mode:
            state.mode = static_cast<std::uint8_t>(get());
            break;
        case spi_request::wr_bits:
            state.bits = static_cast<std::uint8_t>(get());
            break;
        case spi_request::wr_speed:
            state.speed = get();
            break;
        case spi_request::rd_mode:
            put(p.mode_readback.value_or(state.mode));
            break;
        case spi_request::rd_bits:
            put(p.bits_readback.value_or(state.bits));
            break;
        case spi_request::rd_speed:
            put(p.speed_readback.value_or(state.speed));
            break;
        case spi_request::none:
            break;
        }
    }
    detail += " -> ";
    detail += std::to_string(get());
    return result;
}

int vidgen_ioctl(board &b, unsigned long request, void *arg, std::string &detail) {
    if (request != vidgen_set) {
        detail = "request ";
        append_hex(detail, request);
        return static_cast<int>(fail_with(ENOTTY));
    }
    const auto value = static_cast<long>(reinterpret_cast<std::uintptr_t>(arg));
    detail = "VIDGEN_SET ";
    append_hex(detail, request);
    detail += " ";
    append_hex(detail, static_cast<std::uint64_t>(static_cast<unsigned long>(value)));
    b.vidgen.push_back(value);
    if (b.setup.vidgen_fail) return static_cast<int>(fail_with(EINVAL));
    return 0;
}

constexpr std::size_t keepalive_record_limit = 100000;

int watchdog_ioctl(board &b, unsigned long request, void *arg, std::string &detail, bool &stop) {
    const char *name = request == wdioc_settimeout   ? "WDIOC_SETTIMEOUT"
                       : request == wdioc_keepalive  ? "WDIOC_KEEPALIVE"
                       : request == wdioc_gettimeout ? "WDIOC_GETTIMEOUT"
                                                     : nullptr;
    if (name == nullptr) {
        detail = "request ";
        append_hex(detail, request);
        return static_cast<int>(fail_with(ENOTTY));
    }
    detail = std::string{name} + " ";
    append_hex(detail, request);
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    int value = 0;
    std::memcpy(&value, arg, sizeof value);
    detail += ' ';
    detail += std::to_string(value);
    const auto seconds = static_cast<std::uint32_t>(value);
    if (request == wdioc_settimeout &&
        (seconds < b.setup.watchdog_timeout_min || seconds > b.setup.watchdog_timeout_max)) {
        // Refused before the driver sees it: nothing is written back.
        b.wdt.timeouts_requested.push_back(value);
        detail += " -> " + std::to_string(value);
        return static_cast<int>(fail_with(EINVAL));
    }
    if (request == wdioc_settimeout) {
        b.wdt.timeouts_requested.push_back(value);
        b.wdt.timeout = b.setup.watchdog_timeout_readback.value_or(value);
        std::memcpy(arg, &b.wdt.timeout, sizeof value);
    } else if (request == wdioc_gettimeout) {
        std::memcpy(arg, &b.wdt.timeout, sizeof value);
    } else {
        ++b.wdt.keepalives;
        if (b.wdt.keepalive_args.size() < keepalive_record_limit) b.wdt.keepalive_args.push_back(value);
        stop = b.setup.watchdog_stop_after != 0 &&
               static_cast<std::uint64_t>(b.wdt.keepalives) == b.setup.watchdog_stop_after;
    }
    std::memcpy(&value, arg, sizeof value);
    detail += " -> ";
    detail += std::to_string(value);
    return 0;
}

std::string time_prefix(std::uint64_t us) {
    char text[40];
    std::snprintf(text, sizeof text, "[%5llu.%06llu] ", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
    return text;
}

} // namespace

// ---- paths ----

std::optional<board_path> classify(const char *path) {
    const std::string_view p{path};
    if (p.starts_with(gpio_dir)) {
        const std::string_view rest = p.substr(gpio_dir.size());
        if (rest == "export") return board_path{file_kind::gpio_export, 0};
        if (rest == "unexport") return board_path{file_kind::gpio_unexport, 0};
        if (rest.starts_with("gpio")) {
            const std::size_t slash = rest.find('/');
            const std::optional<int> line =
                whole_number(rest.substr(4, slash == std::string_view::npos ? 0 : slash - 4));
            if (line && slash != std::string_view::npos) {
                const std::string_view attribute = rest.substr(slash + 1);
                if (attribute == "direction") return board_path{file_kind::gpio_direction, *line};
                if (attribute == "value") return board_path{file_kind::gpio_value, *line};
            }
        }
        return board_path{file_kind::missing, 0};
    }
    if (p.starts_with(devcfg_dir)) {
        if (p == fclk_export_path) return board_path{file_kind::fclk_export, 0};
        if (p == fclk_rate_path) return board_path{file_kind::fclk_rate, 1};
        return board_path{file_kind::missing, 0};
    }
    if (p.starts_with("/dev/spidev")) {
        const std::string_view rest = p.substr(11);
        const std::size_t dot = rest.find('.');
        if (dot != std::string_view::npos) {
            const std::optional<int> bus = whole_number(rest.substr(0, dot));
            const std::optional<int> cs = whole_number(rest.substr(dot + 1));
            if (bus && cs && *cs == 0) return board_path{file_kind::spidev, *bus};
        }
        return board_path{file_kind::missing, 0};
    }
    if (p == "/dev/vidgen0.0") return board_path{file_kind::vidgen, 0};
    if (p.starts_with("/dev/vidgen")) return board_path{file_kind::missing, 0};
    if (p == "/dev/watchdog0") return board_path{file_kind::watchdog, 0};
    // The development machine's own watchdog must never be reached from a simulated run.
    if (p.starts_with("/dev/watchdog")) return board_path{file_kind::missing, 0};
    return std::nullopt;
}

// ---- the board ----

board *current() {
    return the_board;
}

void activate(scenario setup, bool keep_trace, int trace_fd) {
    if (the_board != nullptr) {
        for (const auto &[fd, file] : the_board->files)
            real().close(fd);
        if (the_board->trace_fd >= 0 && the_board->trace_fd != trace_fd) real().close(the_board->trace_fd);
        delete the_board;
    }
    the_board = new board{};
    the_board->fail_at = setup.fail_op;
    the_board->setup = std::move(setup);
    the_board->keep_trace = keep_trace;
    the_board->trace_fd = trace_fd;
}

void deactivate_board() {
    if (the_board == nullptr) return;
    for (const auto &[fd, file] : the_board->files)
        real().close(fd);
    delete the_board;
    the_board = nullptr;
}

void trace_line(board &b, const std::string &text) {
    const std::string line = time_prefix(b.clock_us) + text;
    if (b.keep_trace) b.trace.push_back(line);
    if (b.trace_fd >= 0) {
        const std::string with_end = line + "\n";
        [[maybe_unused]] const ssize_t n = real().write(b.trace_fd, with_end.data(), with_end.size());
    }
}

bool is_board_fd(int fd) {
    return the_board != nullptr && the_board->files.contains(fd);
}

int board_open(const char *path, const board_path &where, int flags) {
    board &b = the();
    const bool injected = next_op_fails(b);
    std::string line = op_prefix(b) + "open " + path + " " + flags_text(flags) + " ";
    int error = 0;
    if (injected || !file_exists(b, where)) {
        error = ENOENT;
    } else if (where.kind == file_kind::watchdog && (b.setup.watchdog_busy || b.watchdog_open)) {
        error = EBUSY;
    } else if ((where.kind == file_kind::gpio_export || where.kind == file_kind::gpio_unexport) &&
               (flags & O_ACCMODE) != O_WRONLY) {
        error = EACCES; // write-only attributes
    }
    if (error != 0) {
        trace_line(b, line + result_text(-1, error, injected));
        return static_cast<int>(fail_with(error));
    }
    // A real descriptor keeps the number unique among the program's own.
    const int fd = real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd < 0) {
        const int e = errno;
        trace_line(b, line + result_text(-1, e, false));
        return static_cast<int>(fail_with(e));
    }
    b.files[fd] = open_file{path, where, flags, 0};
    b.open_order.push_back(fd);
    if (where.kind == file_kind::watchdog) {
        b.watchdog_open = true;
        ++b.wdt.opens;
    }
    trace_line(b, line + "= fd " + std::to_string(fd));
    return fd;
}

ssize_t board_read(int fd, void *buf, std::size_t count) {
    board &b = the();
    open_file &f = b.files.at(fd);
    const bool injected = next_op_fails(b);
    std::string line = op_prefix(b) + "read " + f.path + " ask " + std::to_string(count) + " ";
    ssize_t result = -1;
    if (injected) {
        result = fail_with(EIO);
    } else if ((f.flags & O_ACCMODE) == O_WRONLY) {
        result = fail_with(EBADF);
    } else if (buf == nullptr && count > 0) {
        result = fail_with(EFAULT);
    } else {
        switch (f.where.kind) {
        case file_kind::gpio_direction:
        case file_kind::gpio_value:
        case file_kind::fclk_rate: {
            const std::string content = attribute_content(b, f);
            const std::size_t n = f.offset < content.size() ? std::min(count, content.size() - f.offset) : 0;
            std::memcpy(buf, content.data() + f.offset, n);
            f.offset += n;
            result = static_cast<ssize_t>(n);
            break;
        }
        case file_kind::spidev:
            result = read_spidev(b, f.where.index, buf, count);
            break;
        case file_kind::fclk_export:
            result = fail_with(EIO);
            break;
        default:
            result = fail_with(EINVAL);
            break;
        }
    }
    const int error = errno;
    line += result_text(result, error, injected);
    if (result > 0) {
        line += " ";
        line += is_text_file(f.where.kind) ? quoted_text(buf, static_cast<std::size_t>(result))
                                           : hex_bytes(buf, static_cast<std::size_t>(result));
    }
    trace_line(b, line);
    errno = error;
    return result;
}

ssize_t board_write(int fd, const void *buf, std::size_t count) {
    board &b = the();
    open_file &f = b.files.at(fd);
    const bool injected = next_op_fails(b);
    std::string line = op_prefix(b) + "write " + f.path + " ";
    if (buf != nullptr) line += is_text_file(f.where.kind) ? quoted_text(buf, count) : hex_bytes(buf, count);
    line += " (" + std::to_string(count) + ") ";
    ssize_t result = -1;
    if (injected) {
        result = fail_with(EIO);
    } else if ((f.flags & O_ACCMODE) == O_RDONLY) {
        result = fail_with(EBADF);
    } else if (buf == nullptr && count > 0) {
        result = fail_with(EFAULT);
    } else {
        const std::string_view text = attribute_text(buf, count);
        switch (f.where.kind) {
        case file_kind::gpio_export:
            result = write_gpio_export(b, text, count, false);
            break;
        case file_kind::gpio_unexport:
            result = write_gpio_export(b, text, count, true);
            break;
        case file_kind::gpio_direction:
            result = write_gpio_direction(b, f.where.index, text, count);
            break;
        case file_kind::gpio_value:
            result = write_gpio_value(b, f.where.index, text, count);
            break;
        case file_kind::fclk_export:
            if (text == "fclk1") {
                ++b.fclk_exports;
                result = static_cast<ssize_t>(count);
            } else {
                result = fail_with(EINVAL);
            }
            break;
        case file_kind::fclk_rate:
            result = write_fclk_rate(b, text, count);
            break;
        case file_kind::spidev:
            result = write_spidev(b, f.where.index, buf, count);
            break;
        case file_kind::watchdog:
            b.wdt.writes.emplace_back(static_cast<const std::uint8_t *>(buf),
                                      static_cast<const std::uint8_t *>(buf) + count);
            result = static_cast<ssize_t>(count);
            break;
        default:
            result = fail_with(EINVAL);
            break;
        }
    }
    const int error = errno;
    trace_line(b, line + result_text(result, error, injected));
    errno = error;
    return result;
}

int board_ioctl(int fd, unsigned long request, void *arg) {
    board &b = the();
    open_file &f = b.files.at(fd);
    const bool injected = next_op_fails(b);
    const std::string line = op_prefix(b) + "ioctl " + f.path + " ";
    std::string detail;
    bool stop = false;
    int result = -1;
    if (injected) {
        detail = "request ";
        append_hex(detail, request);
        result = static_cast<int>(fail_with(EIO));
    } else {
        switch (f.where.kind) {
        case file_kind::spidev:
            result = spi_ioctl(b, f.where.index, request, arg, detail);
            break;
        case file_kind::vidgen:
            result = vidgen_ioctl(b, request, arg, detail);
            break;
        case file_kind::watchdog:
            result = watchdog_ioctl(b, request, arg, detail, stop);
            break;
        default:
            detail = "request ";
            append_hex(detail, request);
            result = static_cast<int>(fail_with(ENOTTY));
            break;
        }
    }
    const int error = errno;
    trace_line(b, line + detail + " " + result_text(result, error, injected));
    if (stop) {
        // The operator ends the ticking program from outside, as kill would.
        trace_line(b, "signal SIGTERM after keep-alive " + std::to_string(b.wdt.keepalives));
        finish();
        ::kill(::getpid(), SIGTERM);
    }
    errno = error;
    return result;
}

int board_close(int fd) {
    board &b = the();
    const open_file f = b.files.at(fd);
    const bool injected = next_op_fails(b);
    b.files.erase(fd);
    std::erase(b.open_order, fd);
    if (f.where.kind == file_kind::watchdog) b.watchdog_open = false;
    real().close(fd);
    // Like Linux, the descriptor is gone even when close reports an error.
    const int result = injected ? static_cast<int>(fail_with(EIO)) : 0;
    trace_line(b, op_prefix(b) + "close " + f.path + " " + result_text(result, EIO, injected));
    if (injected) errno = EIO;
    return result;
}

void board_wait(std::uint64_t microseconds) {
    board &b = the();
    std::string text = "wait ";
    if (microseconds % 1000000 == 0) {
        text += std::to_string(microseconds / 1000000) + " s";
    } else {
        char frac[40];
        std::snprintf(frac, sizeof frac, "%llu.%06llu s",
                      static_cast<unsigned long long>(microseconds / 1000000),
                      static_cast<unsigned long long>(microseconds % 1000000));
        text += frac;
    }
    trace_line(b, text);
    b.clock_us += microseconds;
}

std::string quoted_text(const void *data, std::size_t len) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out = "\"";
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = bytes[i];
        switch (c) {
        case '\0':
            out += "\\0";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
    }
    return out + "\"";
}

std::string hex_bytes(const void *data, std::size_t len) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out = "[";
    for (std::size_t i = 0; i < len; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        if (i > 0) out += ' ';
        out += hex;
    }
    return out + "]";
}

} // namespace boardsim::detail
