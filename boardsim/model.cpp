// The board's files: what exists, what each open, read, write, request and close does, and the trace.
#include "model.h"

#include "board_requests.h"

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

using board_request::vidgen_set;
using board_request::wdioc_gettimeout;
using board_request::wdioc_keepalive;
using board_request::wdioc_settimeout;

struct spi_request_info {
    unsigned long number;
    spi_request which;
};
constexpr std::array<spi_request_info, 6> spi_requests{{
    {board_request::spi_wr_mode, spi_request::wr_mode},
    {board_request::spi_rd_mode, spi_request::rd_mode},
    {board_request::spi_wr_bits, spi_request::wr_bits},
    {board_request::spi_rd_bits, spi_request::rd_bits},
    {board_request::spi_wr_speed, spi_request::wr_speed},
    {board_request::spi_rd_speed, spi_request::rd_speed},
}};
// A whole decimal number and nothing else: "896", as the path of a GPIO line spells it.
std::optional<int> whole_number(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 6) return std::nullopt;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::optional<long long> attribute_number(std::string_view text) {
    long long value = 0;
    const char *first = text.data();
    if (!text.empty() && text[0] == '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

bool is_text_file(file_kind kind) {
    return kind != file_kind::spidev && kind != file_kind::vidgen && kind != file_kind::watchdog;
}

board &the() {
    return *the_board;
}

// Counts one board operation and tells whether fault injection picks it.
bool next_op_fails(board &b) {
    ++b.ops;
    return b.fail_at != 0 && b.ops == b.fail_at;
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

int spi_ioctl(board &b, int bus, unsigned long request, void *arg, board_event &e) {
    const spi_request_info *info = nullptr;
    for (const spi_request_info &r : spi_requests)
        if (r.number == request) info = &r;
    if (info == nullptr) return static_cast<int>(fail_with(ENOTTY));
    e.request_name = request_name(request);
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

    e.argument = argument_kind::pointer;
    e.before = get();
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
    e.after = get();
    return result;
}

int vidgen_ioctl(board &b, unsigned long request, void *arg, board_event &e) {
    if (request != vidgen_set) return static_cast<int>(fail_with(ENOTTY));
    const auto value = static_cast<long>(reinterpret_cast<std::uintptr_t>(arg));
    e.request_name = request_name(request);
    e.argument = argument_kind::value;
    e.before = static_cast<std::int64_t>(static_cast<unsigned long>(value));
    b.vidgen.push_back(value);
    if (b.setup.vidgen_fail) return static_cast<int>(fail_with(EINVAL));
    return 0;
}

constexpr std::size_t keepalive_record_limit = 100000;

int watchdog_ioctl(board &b, unsigned long request, void *arg, board_event &e, bool &stop) {
    if (request != wdioc_settimeout && request != wdioc_keepalive && request != wdioc_gettimeout)
        return static_cast<int>(fail_with(ENOTTY));
    e.request_name = request_name(request);
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    int value = 0;
    std::memcpy(&value, arg, sizeof value);
    e.argument = argument_kind::pointer;
    e.before = value;
    e.after = value;
    const auto seconds = static_cast<std::uint32_t>(value);
    if (request == wdioc_settimeout &&
        (seconds < b.setup.watchdog_timeout_min || seconds > b.setup.watchdog_timeout_max)) {
        // Refused before the driver sees it: nothing is written back.
        b.wdt.timeouts_requested.push_back(value);
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
    e.after = value;
    return 0;
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

void emit(board &b, board_event e) {
    e.time_us = b.clock_us;
    const std::string line = time_prefix(b.clock_us) + event_text(e);
    if (b.keep_trace) b.trace.push_back(line);
    const std::string with_end = line + "\n";
    for (const int fd : {b.trace_fd, b.record_fd}) {
        if (fd >= 0) [[maybe_unused]]
            const ssize_t n = real().write(fd, with_end.data(), with_end.size());
    }
    for (const std::unique_ptr<event_writer> &w : b.writers)
        w->write(e);
}

bool is_board_fd(int fd) {
    return the_board != nullptr && the_board->files.contains(fd);
}

void stop_program(board &b, const std::string &why) {
    board_event signal{.kind = event_kind::signal};
    signal.note = "SIGTERM " + why;
    emit(b, signal);
    finish();
    ::signal(SIGTERM, SIG_DFL);
    ::raise(SIGTERM);
    ::_exit(128 + SIGTERM); // SIGTERM blocked: the end all the same
}

// A run on the model that reaches a limit of the scenario is stopped, with one line saying why.
void stop_at_limit(board &b, const std::string &limit, std::uint64_t value, const char *unit, const char *key) {
    const std::string amount = std::to_string(value) + " " + unit;
    std::string line = "boardsim: the run reached its " + limit + " of " + amount;
    line.append(" and was stopped (\"run ").append(key).append("\" in a scenario sets it)\n");
    [[maybe_unused]] const ssize_t n = real().write(2, line.data(), line.size());
    stop_program(b, "at the " + limit + " of " + amount);
}

board_event operation(board &b, event_kind kind, const std::string &path, file_kind file) {
    if (b.mode == board_mode::model && b.setup.operation_limit != 0 && b.ops >= b.setup.operation_limit)
        stop_at_limit(b, "operation limit", b.setup.operation_limit, "board operations", "operation-limit");
    board_event e;
    e.kind = kind;
    e.path = path;
    e.text_file = is_text_file(file);
    e.injected = next_op_fails(b);
    e.number = b.ops;
    return e;
}

void settle(board &b, board_event &e, long result) {
    const int error = errno;
    e.result = result;
    e.error = result < 0 ? error : 0;
    emit(b, e);
    errno = error;
}

void track_descriptor(board &b, int fd, const char *path, const board_path &where, int flags) {
    b.files[fd] = open_file{path, where, flags, 0};
    b.open_order.push_back(fd);
    if (where.kind == file_kind::watchdog) {
        b.watchdog_open = true;
        ++b.wdt.opens;
    }
}

int open_board_descriptor(board &b, const char *path, const board_path &where, int flags) {
    // A real descriptor keeps the number unique among the program's own.
    const int fd = real().open("/dev/null", O_RDWR | (flags & O_CLOEXEC));
    if (fd >= 0) track_descriptor(b, fd, path, where, flags);
    return fd;
}

int forget_descriptor(board &b, int fd) {
    if (b.files.at(fd).where.kind == file_kind::watchdog) b.watchdog_open = false;
    b.files.erase(fd);
    std::erase(b.open_order, fd);
    return real().close(fd);
}

int board_open(const char *path, const board_path &where, int flags) {
    board &b = the();
    if (b.mode != board_mode::model) return tape_open(b, path, where, flags);
    board_event e = operation(b, event_kind::open, path, where.kind);
    e.flags = flags;
    int error = 0;
    if (e.injected || !file_exists(b, where)) {
        error = ENOENT;
    } else if (where.kind == file_kind::watchdog && (b.setup.watchdog_busy || b.watchdog_open)) {
        error = EBUSY;
    } else if ((where.kind == file_kind::gpio_export || where.kind == file_kind::gpio_unexport) &&
               (flags & O_ACCMODE) != O_WRONLY) {
        error = EACCES; // write-only attributes
    }
    int fd = -1;
    if (error != 0)
        errno = error;
    else
        fd = open_board_descriptor(b, path, where, flags);
    settle(b, e, fd);
    return fd;
}

ssize_t board_read(int fd, void *buf, std::size_t count) {
    board &b = the();
    if (b.mode != board_mode::model) return tape_read(b, fd, buf, count);
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::read, f.path, f.where.kind);
    e.count = count;
    ssize_t result = -1;
    if (e.injected) {
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
    if (result > 0) {
        const auto *bytes = static_cast<const std::uint8_t *>(buf);
        e.data.assign(bytes, bytes + result);
    }
    settle(b, e, result);
    return result;
}

ssize_t board_write(int fd, const void *buf, std::size_t count) {
    board &b = the();
    if (b.mode != board_mode::model) return tape_write(b, fd, buf, count);
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::write, f.path, f.where.kind);
    e.count = count;
    e.has_data = buf != nullptr;
    if (buf != nullptr) {
        const auto *bytes = static_cast<const std::uint8_t *>(buf);
        e.data.assign(bytes, bytes + count);
    }
    ssize_t result = -1;
    if (e.injected) {
        result = fail_with(EIO);
    } else if ((f.flags & O_ACCMODE) == O_RDONLY) {
        result = fail_with(EBADF);
    } else if (buf == nullptr && count > 0) {
        result = fail_with(EFAULT);
    } else {
        const std::string text = attribute_text(e);
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
    settle(b, e, result);
    return result;
}

int board_ioctl(int fd, unsigned long request, void *arg) {
    board &b = the();
    if (b.mode != board_mode::model) return tape_ioctl(b, fd, request, arg);
    open_file &f = b.files.at(fd);
    board_event e = operation(b, event_kind::ioctl, f.path, f.where.kind);
    e.request = request;
    e.request_name = "request";
    bool stop = false;
    int result = -1;
    if (e.injected) {
        result = static_cast<int>(fail_with(EIO));
    } else {
        switch (f.where.kind) {
        case file_kind::spidev:
            result = spi_ioctl(b, f.where.index, request, arg, e);
            break;
        case file_kind::vidgen:
            result = vidgen_ioctl(b, request, arg, e);
            break;
        case file_kind::watchdog:
            result = watchdog_ioctl(b, request, arg, e, stop);
            break;
        default:
            result = static_cast<int>(fail_with(ENOTTY));
            break;
        }
    }
    const int error = errno;
    settle(b, e, result);
    if (stop) stop_program(b, "after keep-alive " + std::to_string(b.wdt.keepalives));
    errno = error;
    return result;
}

int board_close(int fd) {
    board &b = the();
    if (b.mode != board_mode::model) return tape_close(b, fd);
    board_event e = operation(b, event_kind::close, b.files.at(fd).path, b.files.at(fd).where.kind);
    forget_descriptor(b, fd);
    // Like Linux, the descriptor is gone even when close reports an error.
    const int result = e.injected ? static_cast<int>(fail_with(EIO)) : 0;
    settle(b, e, result);
    return result;
}

void board_wait(std::uint64_t microseconds) {
    board &b = the();
    if (b.mode != board_mode::model) {
        tape_wait(b, microseconds);
        return;
    }
    const std::uint64_t limit = b.setup.time_limit_us;
    if (limit != 0 && (b.clock_us > limit || microseconds > limit - b.clock_us))
        stop_at_limit(b, "time limit", limit / 1000000, "s of board time", "time-limit");
    board_event e{.kind = event_kind::wait};
    e.wait_us = microseconds;
    emit(b, e);
    b.clock_us += microseconds;
}

} // namespace boardsim::detail
