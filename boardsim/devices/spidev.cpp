// The SPI ports /dev/spidevN.0 with the chips of chain N behind each: the six configuration
// requests, each write one transfer into the chips, each read one out of them.
#include "devices/chips.h"

#include "board_requests.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>

namespace boardsim::detail {

namespace {

enum file : int { port_file };

// spidev's transfer buffer (its bufsiz parameter); a longer read or write is refused whole.
constexpr std::size_t transfer_max = 4096;

constexpr std::array<request_info, 6> requests{{
    {board_request::spi_wr_mode, "SPI_IOC_WR_MODE"},
    {board_request::spi_rd_mode, "SPI_IOC_RD_MODE"},
    {board_request::spi_wr_bits, "SPI_IOC_WR_BITS_PER_WORD"},
    {board_request::spi_rd_bits, "SPI_IOC_RD_BITS_PER_WORD"},
    {board_request::spi_wr_speed, "SPI_IOC_WR_MAX_SPEED_HZ"},
    {board_request::spi_rd_speed, "SPI_IOC_RD_MAX_SPEED_HZ"},
}};

// The slot lines that power each chain's hash board: slot 0 (power enable), slot 1, slot 2.
struct chain_lines {
    int slot0;
    int slot1;
    int slot2;
};
constexpr std::array<chain_lines, chain_count> wiring{{
    {872, 854, 855},
    {873, 856, 857},
    {874, 858, 859},
    {875, 860, 861},
    {876, 862, 863},
    {877, 864, 865},
    {878, 890, 891},
    {879, 892, 893},
}};

struct ports_state final : device_state {
    std::array<spi_port_state, chain_count> ports{};
    std::array<chain_state, chain_count> chains;
};

ports_state &state(const device_states &states) {
    return state_of<ports_state>(states, spi_ports);
}

const spi_request_info *request_of(unsigned long number) {
    for (const spi_request_info &r : spi_requests)
        if (r.number == number) return &r;
    return nullptr;
}

// "B.C": bus B, chip select C; the board's ports are chip select 0.
board_path file(std::string_view rest) {
    const std::size_t dot = rest.find('.');
    if (dot == std::string_view::npos) return {};
    const std::optional<int> bus = whole_number(rest.substr(0, dot));
    const std::optional<int> cs = whole_number(rest.substr(dot + 1));
    if (!bus || cs != 0) return {};
    return {.file = port_file, .index = *bus};
}

int open(device_context &c, const board_path &where, int /*flags*/) {
    return where.index >= 0 && where.index < chain_count && c.setup.ports[where.index].present ? 0 : ENOENT;
}

ssize_t read(device_context &c, open_file &f, void *buf, std::size_t count) {
    if (count > transfer_max) return fail_with(EMSGSIZE);
    const int bus = f.where.index;
    chain_state &chain = state(c.states).chains[bus];
    if (++chain.reads > c.setup.chains[bus].reads_ok.value_or(UINT64_MAX)) return fail_with(EIO);
    chips_send(c, bus, chain, static_cast<std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

ssize_t write(device_context &c, open_file &f, const board_event & /*e*/, const void *buf,
              std::size_t count) {
    if (count > transfer_max) return fail_with(EMSGSIZE);
    const int bus = f.where.index;
    chain_state &chain = state(c.states).chains[bus];
    if (++chain.writes > c.setup.chains[bus].writes_ok.value_or(UINT64_MAX)) return fail_with(EIO);
    chips_receive(c, bus, chain, static_cast<const std::uint8_t *>(buf), count);
    return static_cast<ssize_t>(count);
}

// The speed is 32 bits wide, the mode and the word size 8.
bool is_speed(spi_request which) {
    return which == spi_request::wr_speed || which == spi_request::rd_speed;
}

std::uint32_t get(const void *arg, spi_request which) {
    std::uint32_t v = 0;
    if (is_speed(which))
        std::memcpy(&v, arg, sizeof v);
    else
        v = *static_cast<const std::uint8_t *>(arg);
    return v;
}

void put(void *arg, spi_request which, std::uint32_t v) {
    if (is_speed(which))
        std::memcpy(arg, &v, sizeof v);
    else
        *static_cast<std::uint8_t *>(arg) = static_cast<std::uint8_t>(v);
}

int ioctl(device_context &c, open_file &f, const board_event &e, void *arg) {
    const spi_request_info *info = request_of(e.request);
    if (info == nullptr) return static_cast<int>(fail_with(ENOTTY));
    if (arg == nullptr) return static_cast<int>(fail_with(EFAULT));
    const port_setup &p = c.setup.ports[f.where.index];
    spi_port_state &port = state(c.states).ports[f.where.index];
    const spi_request which = info->which;
    if (p.fail_request == which || (which == spi_request::wr_speed && get(arg, which) == 0))
        return static_cast<int>(fail_with(EINVAL));
    switch (which) {
    case spi_request::wr_mode:
        port.mode = static_cast<std::uint8_t>(get(arg, which));
        break;
    case spi_request::wr_bits:
        port.bits = static_cast<std::uint8_t>(get(arg, which));
        break;
    case spi_request::wr_speed:
        port.speed = get(arg, which);
        break;
    case spi_request::rd_mode:
        put(arg, which, p.mode_readback.value_or(port.mode));
        break;
    case spi_request::rd_bits:
        put(arg, which, p.bits_readback.value_or(port.bits));
        break;
    case spi_request::rd_speed:
        put(arg, which, p.speed_readback.value_or(port.speed));
        break;
    case spi_request::none:
        break;
    }
    return 0;
}

void close(device_context & /*c*/, open_file & /*f*/) {}

// A slot line of a chain driven: its hash board's power-up goes on, or its power goes.
void line_driven(device_context &c, int line, int level) {
    for (int chain = 0; chain < chain_count; ++chain) {
        const chain_lines &l = wiring[static_cast<std::size_t>(chain)];
        const int slot = line == l.slot0 ? 0 : line == l.slot1 ? 1 : line == l.slot2 ? 2 : -1;
        if (slot >= 0)
            chips_slot_driven(c, chain, state(c.states).chains[static_cast<std::size_t>(chain)], slot, level);
    }
}

// ---- what the writers draw ----

std::string wire(int bus, const char *name) {
    return "spi" + std::to_string(bus) + "_" + name;
}

// Four wires per port opened, with every transfer drawn bit by bit at the mode, word size and speed
// the driver took (its read-backs), chip select active low. Transfers never overlap: one that falls
// at the same time as the one before starts after it.
class ports_drawing final : public device_drawing {
  public:
    void draw(const board_event &e, const board_path &where, std::uint64_t at, wave_sink &out) override {
        const int bus = where.index;
        port &p = ports_[bus];
        if (e.kind == event_kind::open) {
            // Before the port opens, its chip select is inactive (high) and its clock at rest.
            out.wire(wire(bus, "cs"), '1');
            out.wire(wire(bus, "sclk"), idle(port{}));
            out.wire(wire(bus, "mosi"), '0');
            out.wire(wire(bus, "miso"), '0');
            out.level(at, wire(bus, "cs"), '1');
            out.level(at, wire(bus, "sclk"), idle(p));
            out.level(at, wire(bus, "mosi"), '0');
            out.level(at, wire(bus, "miso"), '0');
        } else if (e.kind == event_kind::ioctl && e.argument == argument_kind::pointer) {
            take_setting(p, e);
            out.level(at, wire(bus, "sclk"), idle(p));
        } else if ((e.kind == event_kind::write || e.kind == event_kind::read) && e.result > 0) {
            // A write carries its bytes on MOSI while MISO stays low; a read sends zeros and clocks
            // the chips' bytes out on MISO.
            const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(e.result), 0);
            const bool write = e.kind == event_kind::write;
            transfer(out, bus, at, write ? e.data : zeros, write ? zeros : e.data);
        }
    }

  private:
    struct port {
        std::uint8_t mode = 0;
        std::uint8_t bits = 8;
        std::uint32_t speed = 1000000;
    };

    static char idle(const port &p) { return (p.mode & SPI_CPOL) != 0 ? '1' : '0'; }

    // What the driver took: the value written, then what it reads back.
    static void take_setting(port &p, const board_event &e) {
        const spi_request_info *info = request_of(e.request);
        if (info == nullptr) return;
        const bool write = info->which == spi_request::wr_mode || info->which == spi_request::wr_bits ||
                           info->which == spi_request::wr_speed;
        const std::int64_t v = write ? e.before : e.after;
        if (info->which == spi_request::wr_mode || info->which == spi_request::rd_mode)
            p.mode = static_cast<std::uint8_t>(v);
        if (info->which == spi_request::wr_bits || info->which == spi_request::rd_bits)
            p.bits = static_cast<std::uint8_t>(v);
        if (is_speed(info->which) && v > 0) p.speed = static_cast<std::uint32_t>(v);
    }

    void transfer(wave_sink &out, int bus, std::uint64_t at, const std::vector<std::uint8_t> &mosi,
                  const std::vector<std::uint8_t> &miso) {
        const port &p = ports_[bus];
        const bool cpha = (p.mode & SPI_CPHA) != 0;
        const int bits = p.bits == 0 ? 8 : p.bits;
        const std::size_t word_bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : 4;
        const double half = 1e9 / (2.0 * p.speed); // ns
        double t = static_cast<double>(at);
        auto at_time = [](double when) { return static_cast<std::uint64_t>(std::llround(when)); };
        const char rest = idle(p);
        const char active = rest == '1' ? '0' : '1';
        const std::string cs = wire(bus, "cs");
        const std::string sclk = wire(bus, "sclk");
        const std::string mosi_wire = wire(bus, "mosi");
        const std::string miso_wire = wire(bus, "miso");

        out.level(at_time(t), cs, '0');
        t += half;
        for (std::size_t w = 0; w + word_bytes <= mosi.size(); w += word_bytes) {
            std::uint32_t sent = 0;
            std::uint32_t got = 0;
            for (std::size_t k = word_bytes; k-- > 0;) { // words are in the machine's (little) order
                sent = sent << 8 | mosi[w + k];
                got = got << 8 | miso[w + k];
            }
            for (int bit = bits - 1; bit >= 0; --bit) {
                const char o = ((sent >> bit) & 1) != 0 ? '1' : '0';
                const char i = ((got >> bit) & 1) != 0 ? '1' : '0';
                // Mode 1 and 3 change data on the leading edge and sample on the trailing one;
                // modes 0 and 2 change it half a clock before the leading edge.
                if (!cpha) {
                    out.level(at_time(t), mosi_wire, o);
                    out.level(at_time(t), miso_wire, i);
                    out.level(at_time(t + half), sclk, active);
                    out.level(at_time(t + 2 * half), sclk, rest);
                } else {
                    out.level(at_time(t), sclk, active);
                    out.level(at_time(t), mosi_wire, o);
                    out.level(at_time(t), miso_wire, i);
                    out.level(at_time(t + half), sclk, rest);
                }
                t += 2 * half;
            }
        }
        out.level(at_time(t + half), cs, '1');
        out.busy_until(at_time(t + 3 * half)); // the next transfer starts after a gap
    }

    std::map<int, port> ports_;
};

// A row per port: where it was open, and a mark where it transferred.
void chart(const board_event &e, const board_path &where, chart_sink &out) {
    const std::string label = "spi" + std::to_string(where.index);
    if (e.kind == event_kind::open) out.span_opens(where.index, label, e.time_us);
    if (e.kind == event_kind::close) out.span_closes(where.index, e.time_us);
    if ((e.kind == event_kind::write || e.kind == event_kind::read) && e.result > 0)
        out.mark(where.index, label, e.time_us);
}

// A group per chain: its four lines, then its port's wires.
void wave_groups(std::vector<wave_group> &out) {
    for (int chain = 0; chain < chain_count; ++chain) {
        const chain_lines &l = wiring[static_cast<std::size_t>(chain)];
        wave_group g{"chain " + std::to_string(chain), {}};
        for (const int line : {l.slot0, l.slot1, l.slot2, insertion_line_base + chain})
            g.variables.push_back("gpio" + std::to_string(line));
        for (const char *name : {"cs", "sclk", "mosi", "miso"})
            g.variables.push_back(wire(chain, name));
        out.push_back(std::move(g));
    }
}

} // namespace

constexpr device spi_ports{
    .prefix = "/dev/spidev",
    .text = false,
    .requests = requests,
    .file = file,
    .new_state = [] { return std::unique_ptr<device_state>(new ports_state); },
    .open = open,
    .read = read,
    .write = write,
    .ioctl = ioctl,
    .close = close,
    .due = nullptr,
    .expire = nullptr,
    .end_note = nullptr,
    .line_driven = line_driven,
    .drawing = [] { return std::unique_ptr<device_drawing>(new ports_drawing); },
    .chart = chart,
    .wave_groups = wave_groups,
};

spi_port_state spi_port(const device_states &states, int bus) {
    if (bus < 0 || bus >= chain_count) return {};
    return state(states).ports[bus];
}

std::vector<frame> chain_frames(const device_states &states, int chain) {
    if (chain < 0 || chain >= chain_count) return {};
    return state(states).chains[chain].frames;
}

} // namespace boardsim::detail
