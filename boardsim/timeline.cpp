// The run as a compact chart at its end: one row per GPIO line with its level over virtual time, one
// row per SPI port marking where its transfers happened, and a time axis in seconds.
//
//   time (s)  0         2         4    ...
//   gpio874   _____________________________/========...
//   spi2      ....................................#
//
// A level is "_" low and "=" high, "/" and "\" an edge within the column, "|" several; a port is "."
// while open and "#" where it transferred; blank is before a line has a level or a port is open.
#include "board.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

namespace boardsim::detail {

namespace {

constexpr int label_width = 10;

class timeline final : public event_writer {
  public:
    timeline(int fd, int columns) : fd_(fd), columns_(std::max(columns, 40)) {}

    void write(const board_event &e) override {
        end_us_ = std::max(end_us_, e.time_us);
        if (e.kind == event_kind::end) {
            draw();
            return;
        }
        if (e.path.empty() || e.result < 0) return;
        const std::optional<board_path> where = classify(e.path.c_str());
        if (!where) return;
        const std::string text = attribute_text(e);
        switch (where->kind) {
        case file_kind::gpio_export:
            if (e.kind == event_kind::write && !text.empty() &&
                text.find_first_not_of("0123456789") == std::string::npos && text.size() < 7)
                lines_[static_cast<int>(std::strtol(text.c_str(), nullptr, 10))];
            break;
        case file_kind::gpio_direction:
            if (e.kind == event_kind::write && (text == "out" || text == "low" || text == "high"))
                lines_[where->index].emplace_back(e.time_us, text == "high" ? 1 : 0);
            break;
        case file_kind::gpio_value:
            if ((e.kind == event_kind::write || e.kind == event_kind::read) && !e.data.empty())
                lines_[where->index].emplace_back(e.time_us, e.data[0] == '0' ? 0 : 1);
            break;
        case file_kind::spidev: {
            port &p = ports_[where->index];
            if (e.kind == event_kind::open) p.spans.emplace_back(e.time_us, UINT64_MAX);
            if (e.kind == event_kind::close && !p.spans.empty()) p.spans.back().second = e.time_us;
            if ((e.kind == event_kind::write || e.kind == event_kind::read) && e.result > 0)
                p.transfers.push_back(e.time_us);
            break;
        }
        default:
            break;
        }
    }

  private:
    struct port {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans; // open to close
        std::vector<std::uint64_t> transfers;
    };

    [[nodiscard]] int width() const { return columns_ - label_width; }
    [[nodiscard]] int column(std::uint64_t t) const {
        const std::uint64_t span = std::max<std::uint64_t>(end_us_, 1);
        return static_cast<int>(std::min<std::uint64_t>(t * static_cast<std::uint64_t>(width()) / span,
                                                        static_cast<std::uint64_t>(width() - 1)));
    }

    [[nodiscard]] std::string axis() const {
        const double seconds = static_cast<double>(std::max<std::uint64_t>(end_us_, 1)) / 1e6;
        // Ticks at 1, 2 or 5 times a power of ten, at least ten columns apart.
        constexpr std::array<double, 3> mantissas{1.0, 2.0, 5.0};
        constexpr std::array<double, 16> decades{1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1e0, 1e1,
                                                 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9};
        double step = 1e-6;
        for (std::size_t i = 1; seconds / step > width() / 10.0 && i / 3 < decades.size(); ++i)
            step = mantissas[i % 3] * decades[i / 3];
        std::string row(static_cast<std::size_t>(width()), ' ');
        int free_from = 0;
        for (int k = 0; k * step <= seconds * (1 + 1e-9); ++k) {
            char label[32];
            std::snprintf(label, sizeof label, "%g", k * step);
            const int at = column(static_cast<std::uint64_t>(std::llround(k * step * 1e6)));
            const int len = static_cast<int>(std::strlen(label));
            if (at < free_from || at + len > width()) continue;
            row.replace(static_cast<std::size_t>(at), static_cast<std::size_t>(len), label);
            free_from = at + len + 1;
        }
        return row;
    }

    [[nodiscard]] std::string gpio_row(const std::vector<std::pair<std::uint64_t, int>> &changes) const {
        std::string row(static_cast<std::size_t>(width()), ' ');
        int level = -1;
        std::size_t next = 0;
        for (int c = 0; c < width(); ++c) {
            const int before = level;
            int edges = 0;
            while (next < changes.size() && column(changes[next].first) == c) {
                if (level != -1 && changes[next].second != level) ++edges;
                level = changes[next++].second;
            }
            const char steady = level == -1 ? ' ' : level == 0 ? '_' : '=';
            row[static_cast<std::size_t>(c)] = edges == 0    ? steady
                                               : edges > 1   ? '|'
                                               : before == 0 ? '/'
                                                             : '\\';
        }
        return row;
    }

    [[nodiscard]] std::string port_row(const port &p) const {
        std::string row(static_cast<std::size_t>(width()), ' ');
        for (const auto &[from, to] : p.spans) {
            const int last = to == UINT64_MAX ? width() - 1 : column(to);
            for (int c = column(from); c <= last; ++c)
                row[static_cast<std::size_t>(c)] = '.';
        }
        for (const std::uint64_t t : p.transfers)
            row[static_cast<std::size_t>(column(t))] = '#';
        return row;
    }

    void draw() const {
        std::string chart;
        auto add = [&chart](const std::string &label, const std::string &row) {
            chart += label;
            chart.append(static_cast<std::size_t>(std::max(1, label_width - static_cast<int>(label.size()))),
                         ' ');
            chart += row;
            while (!chart.empty() && chart.back() == ' ')
                chart.pop_back();
            chart += '\n';
        };
        add("time (s)", axis());
        for (const auto &[line, changes] : lines_)
            add("gpio" + std::to_string(line), gpio_row(changes));
        for (const auto &[bus, p] : ports_)
            add("spi" + std::to_string(bus), port_row(p));
        [[maybe_unused]] const ssize_t n = real().write(fd_, chart.data(), chart.size());
    }

    int fd_;
    int columns_;
    std::uint64_t end_us_ = 0;
    std::map<int, std::vector<std::pair<std::uint64_t, int>>> lines_;
    std::map<int, port> ports_;
};

} // namespace

std::unique_ptr<event_writer> timeline_writer(int fd, int columns) {
    return std::make_unique<timeline>(fd, columns);
}

} // namespace boardsim::detail
