// The run as a Value Change Dump (IEEE 1364) for waveform viewers. Each device draws its own files'
// events (a wire per GPIO line, four per SPI port with every transfer bit by bit, string and event
// variables for the clock rate, the watchdog and the voltage generator); this writer declares the
// variables as they come and keeps the file in order.
//
// The file is whole after every event, so that a killed program still leaves one that opens: the
// body is appended as the run goes, and the header, which must declare a wire before the body uses
// it, is rewritten in place within room kept for it (moving the body only when that room runs out).
#include "devices/device.h"
#include "writers/writer.h"

// GCC 12 reports string concatenation with temporaries as an overlapping copy (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <cmath>
#include <cstdio>
#include <libc_baseline.h>
#include <map>
#include <unistd.h>

// The newer log2 differs only in how it sets errno, which the zoom below never reads.
BOARD_LIBC_OLDEST(log2);

namespace boardsim::detail {

namespace {

constexpr std::uint64_t ns_per_us = 1000;

class vcd final : public event_writer, private wave_sink {
  public:
    vcd(output &out, output *save_file, std::string dump_file)
        : out_(out), save_file_(save_file), dump_file_(std::move(dump_file)) {
        for (const device *d : board_devices())
            drawings_.push_back(d->drawing != nullptr ? d->drawing() : nullptr);
        write_header();
    }

    void write(const board_event &e) override {
        const std::uint64_t at = std::max(e.time_us * ns_per_us, now_);
        const std::optional<board_path> where = e.path.empty() ? std::nullopt : classify(e.path.c_str());
        if (e.kind == event_kind::end) {
            stamp(at);
            flush();
            write_save_file();
            return;
        }
        if (where && e.result >= 0) {
            if (const std::unique_ptr<device_drawing> &d = drawings_[rank_of(where->dev)])
                d->draw(e, *where, at, *this);
        }
        flush();
    }

  private:
    struct variable {
        std::string type; // wire, string, event
        std::string id;
        std::string name;
        std::string from_start; // its value at time 0 ("x", "1", "s-"), or "" for an event, which has none
    };

    // ---- what the devices draw with ----

    void wire(std::string_view name, char from_start) override {
        if (ids_.contains(name)) return;
        levels_[std::string{name}] = from_start;
        declare("wire", name, std::string(1, from_start));
    }

    void level(std::uint64_t at, std::string_view wire_name, char value) override {
        wire(wire_name, 'x');
        char &last = levels_[std::string{wire_name}];
        if (last == value) return; // a wire shows changes only
        last = value;
        stamp(at);
        body_ += value;
        body_ += id_of("wire", wire_name);
        body_ += '\n';
    }

    void text(std::uint64_t at, std::string_view name, std::string_view value) override {
        stamp(at);
        body_ += "s" + (value.empty() ? std::string{"-"} : std::string{value}) + " " + id_of("string", name) +
                 "\n";
    }

    void pulse(std::uint64_t at, std::string_view name) override {
        stamp(at);
        body_ += "1" + id_of("event", name) + "\n";
    }

    [[nodiscard]] std::uint64_t free_from() const override { return now_; }
    void busy_until(std::uint64_t at) override { now_ = std::max(now_, at); }

    void stamp(std::uint64_t at) {
        at = std::max(at, now_);
        if (at != last_stamp_) {
            body_ += "#" + std::to_string(at) + "\n";
            last_stamp_ = at;
        }
        now_ = at;
    }

    // The identifier of a variable, declared in the header the first time it is used.
    std::string id_of(const std::string &type, std::string_view name) {
        if (const auto it = ids_.find(name); it != ids_.end()) return it->second;
        return declare(type, name, type == "string" ? "s-" : "");
    }

    std::string declare(const std::string &type, std::string_view name, std::string from_start) {
        std::string id;
        for (std::size_t n = variables_.size();; n /= 94) {
            id += static_cast<char>('!' + n % 94);
            if (n < 94) break;
        }
        variables_.push_back({type, id, std::string{name}, std::move(from_start)});
        ids_.emplace(name, id);
        write_header();
        return id;
    }

    void write_header() {
        std::string text = "$version boardsim $end\n$timescale 1 ns $end\n$scope module board $end\n";
        for (const variable &v : variables_)
            text += "$var " + v.type + " 1 " + v.id + " " + v.name + " $end\n";
        text += "$upscope $end\n";
        // Every variable's value from the start, so that a viewer or a decoder reads a port opened late
        // as idle until then (an event has no value).
        std::string room_end = "$end\n$enddefinitions $end\n#0\n$dumpvars\n";
        for (const variable &v : variables_)
            if (!v.from_start.empty())
                room_end += v.from_start + (v.type == "string" ? " " : "") + v.id + "\n";
        room_end += "$end\n";
        constexpr std::string_view room_start = "$comment\n";
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
            if (body_written_ > 0) out_.read_at(body, header_room_off());
            header_room_ = capacity;
            out_.write_at(body, header_room_off());
        }
        out_.write_at(text, 0);
    }

    [[nodiscard]] off_t header_room_off() const { return static_cast<off_t>(header_room_); }

    void flush() {
        if (body_.empty()) return;
        out_.write_at(body_, static_cast<off_t>(header_room_ + body_written_));
        body_written_ += body_.size();
        body_.clear();
    }

    // The save file for GTKWave: the waveform's file, and its variables in the devices' groups, so that
    // the viewer opens with them in its wave pane.
    void write_save_file() {
        if (save_file_ == nullptr || out_.failed()) return;
        std::vector<wave_group> groups;
        for (const device *d : board_devices())
            if (d->wave_groups != nullptr) d->wave_groups(groups);
        // The whole run in view in GTKWave's own window: its zoom, as GTKWave's "zoom full" gives it for a
        // run of that length, then its marker and named markers, none set.
        char zoom[64];
        std::snprintf(zoom, sizeof zoom, "*%.6f",
                      -std::log2(std::max(2.0, static_cast<double>(now_) / 3.0)) - 0.05);
        std::string text = "[*] a GTKWave save file of the simulated board's run\n[dumpfile] \"" +
                           dump_file_ + "\"\n[timestart] 0\n[size] 1000 600\n[pos] -1 -1\n" + zoom;
        for (int marker = 0; marker < 27; ++marker)
            text += " -1";
        text += "\n[treeopen] board.\n";
        std::map<std::string, bool, std::less<>> shown;
        auto add_group = [&](const std::string &name, const std::vector<std::string> &names) {
            std::string body;
            for (const std::string &n : names)
                if (ids_.contains(n) && !shown[n]) {
                    body += "board." + n + "\n";
                    shown[n] = true;
                }
            if (body.empty()) return;
            // A group opens and closes with its name (GTKWave's flags: group begin, group end, blank).
            text += "@800200\n-" + name + "\n@28\n" + body + "@1000200\n-" + name + "\n";
        };
        for (const wave_group &g : groups)
            add_group(g.name, g.variables);
        std::vector<std::string> rest;
        for (const variable &v : variables_)
            rest.push_back(v.name);
        add_group("other", rest);
        save_file_->write(text);
    }

    output &out_;
    output *save_file_;
    std::string dump_file_;
    std::vector<std::unique_ptr<device_drawing>> drawings_; // by the device's rank
    std::vector<variable> variables_;
    std::map<std::string, std::string, std::less<>> ids_;
    std::map<std::string, char> levels_;
    std::size_t header_room_ = 4096;
    std::size_t body_written_ = 0;
    std::string body_;                            // this event's changes, not yet in the file
    std::uint64_t now_ = 0;                       // ns; nothing is drawn before this
    std::optional<std::uint64_t> last_stamp_ = 0; // the header's $dumpvars is at #0
};

} // namespace

std::unique_ptr<event_writer> vcd_writer(output &out, output *save_file, std::string dump_file) {
    return std::make_unique<vcd>(out, save_file, std::move(dump_file));
}

} // namespace boardsim::detail
