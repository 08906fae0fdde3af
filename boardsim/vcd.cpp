// The run as a Value Change Dump (IEEE 1364) for waveform viewers: a 1-bit wire per GPIO line the
// program touched, four wires per SPI port it opened with every transfer drawn bit by bit, and the
// clock rate, the watchdog and the voltage generator as string and event variables.
//
// The file is whole after every event, so that a killed program still leaves one that opens: the
// body is appended as the run goes, and the header, which must declare a wire before the body uses
// it, is rewritten in place within room kept for it (moving the body only when that room runs out).
#include "board.h"

// GCC 12 reports string concatenation with temporaries as an overlapping copy (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <cmath>
#include <cstdio>
#include <map>
#include <unistd.h>

namespace boardsim::detail {

namespace {

constexpr std::uint64_t ns_per_us = 1000;

class vcd final : public event_writer {
  public:
    explicit vcd(int fd) : fd_(fd) { write_header(); }
    ~vcd() override { ::close(fd_); }
    vcd(const vcd &) = delete;
    vcd &operator=(const vcd &) = delete;

    void write(const board_event &e) override {
        const std::uint64_t at = std::max(e.time_us * ns_per_us, now_);
        const std::optional<board_path> where = e.path.empty() ? std::nullopt : classify(e.path.c_str());
        if (e.kind == event_kind::end) {
            stamp(at);
        } else if (where && e.result >= 0) {
            board_event_at(e, *where, at);
        }
        flush();
    }

  private:
    struct variable {
        std::string type; // wire, string, event
        std::string id;
        std::string name;
    };
    struct port {
        std::uint8_t mode = 0;
        std::uint8_t bits = 8;
        std::uint32_t speed = 1000000;
    };

    void board_event_at(const board_event &e, const board_path &where, std::uint64_t at) {
        switch (where.kind) {
        case file_kind::gpio_export:
            if (e.kind == event_kind::write) {
                const std::string number = attribute_text(e);
                if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos)
                    level(at, "gpio" + number, 'x');
            }
            break;
        case file_kind::gpio_direction: {
            const std::string text = attribute_text(e);
            if (e.kind == event_kind::write && (text == "out" || text == "low" || text == "high"))
                level(at, gpio(where), text == "high" ? '1' : '0');
            break;
        }
        case file_kind::gpio_value:
            // An output carries what was written, an input what the board delivered when read.
            if ((e.kind == event_kind::write || e.kind == event_kind::read) && !e.data.empty())
                level(at, gpio(where), e.data[0] == '0' ? '0' : '1');
            break;
        case file_kind::spidev:
            spi_event(e, where.index, at);
            break;
        case file_kind::fclk_rate:
            if (e.kind == event_kind::write) text_value(at, "fclk1_rate", attribute_text(e));
            break;
        case file_kind::watchdog:
            if (e.kind == event_kind::ioctl && e.request_name == "WDIOC_SETTIMEOUT")
                text_value(at, "watchdog_timeout", std::to_string(e.after));
            if (e.kind == event_kind::ioctl && e.request_name == "WDIOC_KEEPALIVE") {
                stamp(at);
                body_ += "1" + id_of("event", "watchdog_keepalive") + "\n";
            }
            break;
        case file_kind::vidgen:
            if (e.kind == event_kind::ioctl && e.argument == argument_kind::value) {
                char hex[24];
                std::snprintf(hex, sizeof hex, "0x%llx", static_cast<unsigned long long>(e.before));
                text_value(at, "vidgen_value", hex);
            }
            break;
        default:
            break;
        }
    }

    static std::string gpio(const board_path &where) { return "gpio" + std::to_string(where.index); }
    static std::string spi(int bus, const char *wire) { return "spi" + std::to_string(bus) + "_" + wire; }

    void spi_event(const board_event &e, int bus, std::uint64_t at) {
        port &p = ports_[bus];
        const bool cpol = (p.mode & 2) != 0;
        if (e.kind == event_kind::open) {
            level(at, spi(bus, "cs"), '1');
            level(at, spi(bus, "sclk"), cpol ? '1' : '0');
            level(at, spi(bus, "mosi"), '0');
            level(at, spi(bus, "miso"), '0');
        } else if (e.kind == event_kind::ioctl && e.argument == argument_kind::pointer) {
            // What the driver took: the value written, then what it reads back.
            const std::string &r = e.request_name;
            const std::int64_t v = r.starts_with("SPI_IOC_WR") ? e.before : e.after;
            if (r.ends_with("_MODE")) p.mode = static_cast<std::uint8_t>(v);
            if (r.ends_with("_BITS_PER_WORD")) p.bits = static_cast<std::uint8_t>(v);
            if (r.ends_with("_MAX_SPEED_HZ") && v > 0) p.speed = static_cast<std::uint32_t>(v);
            level(at, spi(bus, "sclk"), (p.mode & 2) != 0 ? '1' : '0');
        } else if ((e.kind == event_kind::write || e.kind == event_kind::read) && e.result > 0) {
            // A write carries its bytes on MOSI while MISO stays low; a read sends zeros and clocks
            // the chips' bytes out on MISO.
            const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(e.result), 0);
            const bool write = e.kind == event_kind::write;
            transfer(bus, at, write ? e.data : zeros, write ? zeros : e.data);
        }
    }

    void transfer(int bus, std::uint64_t at, const std::vector<std::uint8_t> &mosi,
                  const std::vector<std::uint8_t> &miso) {
        const port &p = ports_[bus];
        const bool cpol = (p.mode & 2) != 0;
        const bool cpha = (p.mode & 1) != 0;
        const int bits = p.bits == 0 ? 8 : p.bits;
        const std::size_t word_bytes = bits <= 8 ? 1 : bits <= 16 ? 2 : 4;
        const double half = 1e9 / (2.0 * p.speed); // ns
        double t = static_cast<double>(at);
        auto at_time = [&](double when) { return static_cast<std::uint64_t>(std::llround(when)); };
        const char idle = cpol ? '1' : '0';
        const char active = cpol ? '0' : '1';

        level(at_time(t), spi(bus, "cs"), '0');
        t += half;
        for (std::size_t w = 0; w + word_bytes <= mosi.size(); w += word_bytes) {
            std::uint32_t out = 0;
            std::uint32_t in = 0;
            for (std::size_t k = word_bytes; k-- > 0;) { // words are in the machine's (little) order
                out = out << 8 | mosi[w + k];
                in = in << 8 | miso[w + k];
            }
            for (int bit = bits - 1; bit >= 0; --bit) {
                const char o = ((out >> bit) & 1) != 0 ? '1' : '0';
                const char i = ((in >> bit) & 1) != 0 ? '1' : '0';
                // Mode 1 and 3 change data on the leading edge and sample on the trailing one;
                // modes 0 and 2 change it half a clock before the leading edge.
                if (!cpha) {
                    level(at_time(t), spi(bus, "mosi"), o);
                    level(at_time(t), spi(bus, "miso"), i);
                    level(at_time(t + half), spi(bus, "sclk"), active);
                    level(at_time(t + 2 * half), spi(bus, "sclk"), idle);
                } else {
                    level(at_time(t), spi(bus, "sclk"), active);
                    level(at_time(t), spi(bus, "mosi"), o);
                    level(at_time(t), spi(bus, "miso"), i);
                    level(at_time(t + half), spi(bus, "sclk"), idle);
                }
                t += 2 * half;
            }
        }
        level(at_time(t + half), spi(bus, "cs"), '1');
        now_ = at_time(t + 3 * half); // the next transfer starts after a gap
    }

    void level(std::uint64_t at, const std::string &name, char value) {
        char &last = levels_[name];
        if (last == value) return; // a wire shows changes only
        last = value;
        stamp(at);
        body_ += value;
        body_ += id_of("wire", name);
        body_ += '\n';
    }

    void text_value(std::uint64_t at, const std::string &name, const std::string &text) {
        stamp(at);
        body_ += "s" + (text.empty() ? std::string{"-"} : text) + " " + id_of("string", name) + "\n";
    }

    void stamp(std::uint64_t at) {
        at = std::max(at, now_);
        if (at != last_stamp_) {
            body_ += "#" + std::to_string(at) + "\n";
            last_stamp_ = at;
        }
        now_ = at;
    }

    // The identifier of a variable, declared in the header the first time it is used.
    std::string id_of(const std::string &type, const std::string &name) {
        if (const auto it = ids_.find(name); it != ids_.end()) return it->second;
        std::string id;
        for (std::size_t n = variables_.size();; n /= 94) {
            id += static_cast<char>('!' + n % 94);
            if (n < 94) break;
        }
        variables_.push_back({type, id, name});
        ids_[name] = id;
        write_header();
        return id;
    }

    void write_header() {
        std::string text = "$version boardsim $end\n$timescale 1 ns $end\n$scope module board $end\n";
        for (const variable &v : variables_)
            text += "$var " + v.type + " 1 " + v.id + " " + v.name + " $end\n";
        text += "$upscope $end\n";
        constexpr std::string_view room_start = "$comment\n";
        constexpr std::string_view room_end = "$end\n$enddefinitions $end\n";
        std::size_t capacity = header_room_;
        while (text.size() + room_start.size() + room_end.size() + 1 > capacity)
            capacity *= 2;
        text += room_start;
        // Room for the declarations still to come, as lines of blanks within the comment.
        const std::size_t fill = capacity - text.size() - room_end.size();
        for (std::size_t i = 0; i < fill; ++i)
            text += (i % 64 == 63 || i + 1 == fill) ? '\n' : ' ';
        text += room_end;
        if (capacity != header_room_) {
            // Out of room: the body moves to make more.
            std::string body(body_written_, '\0');
            if (body_written_ > 0) [[maybe_unused]]
                const ssize_t n = ::pread(fd_, body.data(), body.size(), header_room_off());
            header_room_ = capacity;
            [[maybe_unused]] const ssize_t n = ::pwrite(fd_, body.data(), body.size(), header_room_off());
        }
        [[maybe_unused]] const ssize_t n = ::pwrite(fd_, text.data(), text.size(), 0);
    }

    [[nodiscard]] off_t header_room_off() const { return static_cast<off_t>(header_room_); }

    void flush() {
        if (body_.empty()) return;
        [[maybe_unused]] const ssize_t n =
            ::pwrite(fd_, body_.data(), body_.size(), static_cast<off_t>(header_room_ + body_written_));
        body_written_ += body_.size();
        body_.clear();
    }

    int fd_;
    std::vector<variable> variables_;
    std::map<std::string, std::string> ids_;
    std::map<std::string, char> levels_;
    std::map<int, port> ports_;
    std::size_t header_room_ = 4096;
    std::size_t body_written_ = 0;
    std::string body_;      // this event's changes, not yet in the file
    std::uint64_t now_ = 0; // ns; nothing is drawn before this
    std::optional<std::uint64_t> last_stamp_;
};

} // namespace

std::unique_ptr<event_writer> vcd_writer(int fd) {
    return std::make_unique<vcd>(fd);
}

} // namespace boardsim::detail
