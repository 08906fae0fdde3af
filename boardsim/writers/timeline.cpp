// The run as a compact chart at its end: a time axis in seconds and the rows the devices give, rows of
// levels (a GPIO line) and rows of activity (an SPI port, marking where its transfers happened), in
// the order of the devices and then of their indexes.
//
//   time (s)  0         2         4    ...
//   gpio874   _____________________________/========...
//   spi2      ....................................#
//
// A level is "_" low and "=" high, "/" and "\" an edge within the column, "|" several; a port is "."
// while open and "#" where it transferred; blank is before a line has a level or a port is open.
#include "devices/device.h"
#include "writers/writer.h"

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

class timeline final : public event_writer, private chart_sink {
  public:
    timeline(output &out, int columns) : out_(out), columns_(std::max(columns, 40)) {}

    void write(const board_event &e) override {
        end_us_ = std::max(end_us_, e.time_us);
        if (e.kind == event_kind::end) {
            draw();
            return;
        }
        if (e.path.empty() || e.result < 0) return;
        const std::optional<board_path> where = classify(e.path.c_str());
        if (!where || where->dev->chart == nullptr) return;
        device_ = rank_of(where->dev);
        where->dev->chart(e, *where, *this);
    }

  private:
    struct chart_row {
        std::string label;
        bool levels = true;
        std::vector<std::pair<std::uint64_t, int>> changes;         // levels: time and level
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans; // activity: open to close
        std::vector<std::pair<std::uint64_t, char>> marks;
    };
    using row_key = std::pair<std::size_t, int>; // the device's rank, the device's index

    chart_row &row_at(int index, std::string_view label, bool levels) {
        chart_row &r = rows_[{device_, index}];
        if (r.label.empty()) r.label = label;
        r.levels = levels;
        return r;
    }

    // ---- what the devices give ----

    void level_row(int index, std::string_view label) override { row_at(index, label, true); }
    void level(int index, std::string_view label, std::uint64_t at, int value) override {
        row_at(index, label, true).changes.emplace_back(at, value);
    }
    void span_opens(int index, std::string_view label, std::uint64_t at) override {
        row_at(index, label, false).spans.emplace_back(at, UINT64_MAX);
    }
    void span_closes(int index, std::uint64_t at) override {
        const auto it = rows_.find({device_, index});
        if (it != rows_.end() && !it->second.spans.empty()) it->second.spans.back().second = at;
    }
    void mark(int index, std::string_view label, std::uint64_t at, char symbol) override {
        row_at(index, label, false).marks.emplace_back(at, symbol);
    }

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

    [[nodiscard]] std::string
    level_row_text(const std::vector<std::pair<std::uint64_t, int>> &changes) const {
        std::string row(static_cast<std::size_t>(width()), ' ');
        int level = -1;
        std::size_t next = 0;
        for (int c = 0; c < width(); ++c) {
            int edges = 0;
            while (next < changes.size() && column(changes[next].first) == c) {
                if (level != -1 && changes[next].second != level) ++edges;
                level = changes[next++].second;
            }
            // One edge in the column goes the way of the level it leaves (the line may have got its
            // first level in the same column).
            const char steady = level == -1 ? ' ' : level == 0 ? '_' : '=';
            row[static_cast<std::size_t>(c)] = edges == 0   ? steady
                                               : edges > 1  ? '|'
                                               : level == 1 ? '/'
                                                            : '\\';
        }
        return row;
    }

    [[nodiscard]] std::string activity_row(const chart_row &r) const {
        std::string out(static_cast<std::size_t>(width()), ' ');
        for (const auto &[from, to] : r.spans) {
            const int last = to == UINT64_MAX ? width() - 1 : column(to);
            for (int c = column(from); c <= last; ++c)
                out[static_cast<std::size_t>(c)] = '.';
        }
        for (const auto &[t, symbol] : r.marks)
            out[static_cast<std::size_t>(column(t))] = symbol;
        return out;
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
        for (const auto &[key, r] : rows_)
            add(r.label, r.levels ? level_row_text(r.changes) : activity_row(r));
        out_.write(chart);
    }

    output &out_;
    int columns_;
    std::uint64_t end_us_ = 0;
    std::size_t device_ = 0; // the rank of the device whose event is being charted
    std::map<row_key, chart_row> rows_;
};

} // namespace

std::unique_ptr<event_writer> timeline_writer(output &out, int columns) {
    return std::make_unique<timeline>(out, columns);
}

} // namespace boardsim::detail
