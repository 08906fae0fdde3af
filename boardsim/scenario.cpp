// The scenario text: one setting per line, words separated by blanks, "#" starts a comment.
#include "scenario.h"

#include <charconv>
#include <functional>
#include <limits>

namespace boardsim::detail {

scenario::scenario() {
    chains[0].inserted = true;
}

namespace {

struct word {
    std::string text;
    bool quoted = false;
};

std::string escaped(const std::string &text);

// Splits one line into words. A word in double quotes may hold blanks and the escapes \0 \n \r \t
// \\ \" and \xHH. Returns an error text, or "" when the line was split.
std::string split_words(std::string_view line, std::vector<word> &words) {
    std::size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
            continue;
        }
        if (c == '#') break;
        word w;
        if (c != '"') {
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
                w.text += line[i++];
            words.push_back(std::move(w));
            continue;
        }
        w.quoted = true;
        ++i;
        for (;;) {
            if (i >= line.size()) return "expected a closing \" before the end of the line";
            const char q = line[i++];
            if (q == '"') break;
            if (q != '\\') {
                w.text += q;
                continue;
            }
            if (i >= line.size()) return "expected an escape after \\";
            const char e = line[i++];
            switch (e) {
            case '0':
                w.text += '\0';
                break;
            case 'n':
                w.text += '\n';
                break;
            case 'r':
                w.text += '\r';
                break;
            case 't':
                w.text += '\t';
                break;
            case '\\':
                w.text += '\\';
                break;
            case '"':
                w.text += '"';
                break;
            case 'x': {
                unsigned value = 0;
                const char *first = line.data() + i;
                const char *last = line.data() + std::min(line.size(), i + 2);
                const auto [ptr, ec] = std::from_chars(first, last, value, 16);
                if (ec != std::errc{} || ptr != last || last - first != 2)
                    return "expected two hex digits after \\x";
                w.text += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
            {
                std::string error{"expected one of the escapes \\0 \\n \\r \\t \\\\ \\\" \\xHH, got \\"};
                error += escaped(std::string(1, e));
                return error;
            }
            }
        }
        words.push_back(std::move(w));
    }
    return "";
}

// Text from the scenario as the scenario would write it, so that an error stays one printable line
// whatever bytes the offending word holds.
std::string escaped(const std::string &text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '\0': out += "\\0"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
                static constexpr char hex[] = "0123456789ABCDEF";
                const auto b = static_cast<unsigned char>(c);
                out += "\\x";
                out += hex[b >> 4];
                out += hex[b & 0x0F];
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string quote(const std::string &text) {
    std::string quoted(1, '"');
    quoted += escaped(text);
    quoted += '"';
    return quoted;
}

// Walks the words of one line; every take_* either yields a value or records what was expected.
class line_reader {
  public:
    explicit line_reader(std::vector<word> words) : words_(std::move(words)) {}

    [[nodiscard]] bool failed() const { return !error_.empty(); }
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] bool at_end() const { return pos_ >= words_.size(); }
    [[nodiscard]] std::string last() const { return pos_ == 0 ? "" : words_[pos_ - 1].text; }

    bool fail(const std::string &expected) {
        if (error_.empty()) {
            error_ = "expected " + expected;
            error_ += at_end() ? ", got the end of the line" : ", got " + quote(words_[pos_].text);
        }
        return false;
    }

    bool take_word(std::string &out, const std::string &expected) {
        if (failed()) return false;
        if (at_end()) return fail(expected);
        out = words_[pos_++].text;
        return true;
    }

    bool take_text(std::string &out, const std::string &expected) { return take_word(out, expected); }

    bool take_number(std::uint64_t &out, std::uint64_t max, const std::string &expected) {
        if (failed()) return false;
        if (at_end() || words_[pos_].quoted) return fail(expected);
        const std::string &t = words_[pos_].text;
        int base = 10;
        std::size_t skip = 0;
        if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
            base = 16;
            skip = 2;
        }
        std::uint64_t value = 0;
        const auto [ptr, ec] = std::from_chars(t.data() + skip, t.data() + t.size(), value, base);
        if (ec != std::errc{} || ptr != t.data() + t.size() || t.size() == skip || value > max)
            return fail(expected);
        ++pos_;
        out = value;
        return true;
    }

    bool take_signed(int &out, const std::string &expected) {
        if (failed()) return false;
        if (at_end() || words_[pos_].quoted) return fail(expected);
        const std::string &t = words_[pos_].text;
        int value = 0;
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), value, 10);
        if (ec != std::errc{} || ptr != t.data() + t.size()) return fail(expected);
        ++pos_;
        out = value;
        return true;
    }

    bool take_byte(std::uint8_t &out) {
        std::uint64_t v = 0;
        if (!take_number(v, 255, "a byte (0 to 255, or 0x00 to 0xff)")) return false;
        out = static_cast<std::uint8_t>(v);
        return true;
    }

    bool take_bytes(std::uint8_t *out, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            if (!take_byte(out[i])) {
                error_ =
                    "expected " + std::to_string(count) + " bytes" + error_.substr(error_.rfind(", got"));
                return false;
            }
        }
        return true;
    }

    bool take_choice(int &out, std::initializer_list<std::string_view> choices, const std::string &expected) {
        if (failed()) return false;
        if (at_end()) return fail(expected);
        int i = 0;
        for (std::string_view c : choices) {
            if (!words_[pos_].quoted && words_[pos_].text == c) {
                ++pos_;
                out = i;
                return true;
            }
            ++i;
        }
        return fail(expected);
    }

    bool take_yes_no(bool &out, const std::string &key) {
        int choice = 0;
        if (!take_choice(choice, {"yes", "no"}, "yes or no after " + quote(key))) return false;
        out = choice == 0;
        return true;
    }

    bool peek_is(std::string_view text) const { return !at_end() && words_[pos_].text == text; }
    void skip() { ++pos_; }
    void unread() { --pos_; }

    bool finish() {
        if (failed()) return false;
        if (!at_end()) return fail("the end of the line after " + quote(last()));
        return true;
    }

  private:
    std::vector<word> words_;
    std::size_t pos_ = 0;
    std::string error_;
};

// "N" or "*": the units (chains or ports) a line applies to.
bool take_units(line_reader &r, std::vector<int> &units, const char *what) {
    units.clear();
    if (r.peek_is("*")) {
        r.skip();
        for (int i = 0; i < chain_count; ++i)
            units.push_back(i);
        return true;
    }
    std::uint64_t n = 0;
    if (!r.take_number(n, chain_count - 1, std::string{"a "} + what + " number 0 to 7, or *")) return false;
    units.push_back(static_cast<int>(n));
    return true;
}

bool take_fail_after(line_reader &r, std::optional<std::uint64_t> &out, const std::string &key) {
    int choice = 0;
    if (!r.take_choice(choice, {"all", "after", "no"}, "all, after N or no after " + quote(key)))
        return false;
    if (choice == 0) out = 0;
    if (choice == 2) out.reset();
    if (choice == 1) {
        std::uint64_t n = 0;
        if (!r.take_number(n, std::numeric_limits<std::uint32_t>::max(), "a count after \"after\""))
            return false;
        out = n;
    }
    return true;
}

constexpr std::array<std::string_view, reply_kind_count> reply_kind_names{
    "reset", "marked_reset", "bist_start", "bist_collect", "bist_fix", "write_reg"};
constexpr std::array<std::size_t, reply_kind_count> reply_lengths{6, 6, 6, 6, 6, 16};

bool parse_chain(line_reader &r, scenario &s) {
    std::vector<int> units;
    if (!take_units(r, units, "chain")) return false;
    std::string key;
    if (!r.take_word(key, "a chain setting (inserted, type, reply, result, result-crc, result-zero-first, "
                          "status, status-flag, status-0a-first, noise, silent, fail-reads, fail-writes)"))
        return false;
    chain_setup v = s.chains[units[0]];
    int reply = 0;
    bool ok = true;
    if (key == "inserted") {
        ok = r.take_yes_no(v.inserted, key);
    } else if (key == "type") {
        std::uint64_t n = 0;
        ok = r.take_number(n, 15, "a type code 0 to 15");
        v.type = static_cast<std::uint8_t>(n);
    } else if (key == "reply") {
        ok = r.take_choice(reply,
                           {reply_kind_names[0], reply_kind_names[1], reply_kind_names[2],
                            reply_kind_names[3], reply_kind_names[4], reply_kind_names[5]},
                           "a command (reset, marked_reset, bist_start, bist_collect, bist_fix, write_reg)");
        if (ok) {
            std::vector<std::uint8_t> bytes(reply_lengths[reply]);
            ok = r.take_bytes(bytes.data(), bytes.size());
            v.replies[reply] = std::move(bytes);
        }
    } else if (key == "result") {
        ok = r.take_bytes(v.result.data(), v.result.size());
    } else if (key == "result-crc") {
        int choice = 0;
        ok = r.take_choice(choice, {"good", "bad"}, "good or bad after \"result-crc\"");
        v.result_bad_crc = choice == 1;
    } else if (key == "result-zero-first") {
        ok = r.take_yes_no(v.result_zero_first, key);
    } else if (key == "status") {
        ok = r.take_bytes(v.status.data(), v.status.size());
    } else if (key == "status-flag") {
        std::uint64_t n = 0;
        ok = r.take_number(n, 1, "0 or 1 after \"status-flag\"");
        v.status[9] = static_cast<std::uint8_t>((v.status[9] & 0xFE) | n);
    } else if (key == "status-0a-first") {
        ok = r.take_yes_no(v.status_0a_first, key);
    } else if (key == "noise") {
        std::uint64_t n = 0;
        ok = r.take_number(n, 1000000, "a count of noise pairs");
        v.noise_pairs = static_cast<int>(n);
        if (ok && !r.at_end()) ok = r.take_bytes(v.noise.data(), 2);
    } else if (key == "silent") {
        if (r.peek_is("no")) {
            r.skip();
            v.silent.reset();
        } else {
            std::uint8_t b = 0;
            ok = r.take_byte(b);
            v.silent = b;
        }
    } else if (key == "fail-reads") {
        ok = take_fail_after(r, v.reads_ok, key);
    } else if (key == "fail-writes") {
        ok = take_fail_after(r, v.writes_ok, key);
    } else {
        r.unread();
        r.fail("a chain setting (inserted, type, reply, result, result-crc, result-zero-first, status, "
               "status-flag, status-0a-first, noise, silent, fail-reads, fail-writes)");
        return false;
    }
    if (!ok || !r.finish()) return false;
    // Apply the one setting the line named to every chain it names.
    for (int c : units) {
        chain_setup &t = s.chains[c];
        if (key == "inserted") t.inserted = v.inserted;
        if (key == "type") t.type = v.type;
        if (key == "reply") t.replies[reply] = v.replies[reply];
        if (key == "result") t.result = v.result;
        if (key == "result-crc") t.result_bad_crc = v.result_bad_crc;
        if (key == "result-zero-first") t.result_zero_first = v.result_zero_first;
        if (key == "status") t.status = v.status;
        if (key == "status-flag")
            t.status[9] = static_cast<std::uint8_t>((t.status[9] & 0xFE) | (v.status[9] & 1));
        if (key == "status-0a-first") t.status_0a_first = v.status_0a_first;
        if (key == "noise") {
            t.noise_pairs = v.noise_pairs;
            t.noise = v.noise;
        }
        if (key == "silent") t.silent = v.silent;
        if (key == "fail-reads") t.reads_ok = v.reads_ok;
        if (key == "fail-writes") t.writes_ok = v.writes_ok;
    }
    return true;
}

bool parse_spi(line_reader &r, scenario &s) {
    std::vector<int> units;
    if (!take_units(r, units, "port")) return false;
    const std::string settings =
        "a port setting (present, mode-readback, bits-readback, speed-readback, fail-request)";
    std::string key;
    if (!r.take_word(key, settings)) return false;
    port_setup v = s.ports[units[0]];
    bool ok = true;
    std::uint64_t n = 0;
    if (key == "present") {
        ok = r.take_yes_no(v.present, key);
    } else if (key == "mode-readback") {
        ok = r.take_number(n, 255, "a mode 0 to 255");
        v.mode_readback = static_cast<std::uint8_t>(n);
    } else if (key == "bits-readback") {
        ok = r.take_number(n, 255, "a word size 0 to 255");
        v.bits_readback = static_cast<std::uint8_t>(n);
    } else if (key == "speed-readback") {
        ok = r.take_number(n, std::numeric_limits<std::uint32_t>::max(), "a speed in Hz");
        v.speed_readback = static_cast<std::uint32_t>(n);
    } else if (key == "fail-request") {
        int choice = 0;
        ok = r.take_choice(choice,
                           {"wr_mode", "rd_mode", "wr_bits", "rd_bits", "wr_speed", "rd_speed", "none"},
                           "wr_mode, rd_mode, wr_bits, rd_bits, wr_speed, rd_speed or none");
        v.fail_request = static_cast<spi_request>(choice);
    } else {
        r.unread();
        r.fail(settings);
        return false;
    }
    if (!ok || !r.finish()) return false;
    for (int p : units) {
        port_setup &t = s.ports[p];
        if (key == "present") t.present = v.present;
        if (key == "mode-readback") t.mode_readback = v.mode_readback;
        if (key == "bits-readback") t.bits_readback = v.bits_readback;
        if (key == "speed-readback") t.speed_readback = v.speed_readback;
        if (key == "fail-request") t.fail_request = v.fail_request;
    }
    return true;
}

constexpr std::uint64_t gpio_max = 100000;
constexpr std::uint64_t gpio_range_max = 4096;

// "L" or "FROM-TO": the GPIO lines a line of the scenario applies to.
bool take_lines(line_reader &r, std::uint64_t &from, std::uint64_t &to) {
    const std::string expected = "a GPIO number 0 to 100000, or a range FROM-TO";
    std::string text;
    if (!r.take_word(text, expected)) return false;
    const std::size_t dash = text.find('-');
    auto number = [](std::string_view t, std::uint64_t &out) {
        const auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), out);
        return !t.empty() && ec == std::errc{} && ptr == t.data() + t.size() && out <= gpio_max;
    };
    const std::string_view all{text};
    const bool ok = dash == std::string::npos
                        ? number(all, from) && number(all, to)
                        : number(all.substr(0, dash), from) && number(all.substr(dash + 1), to) && from <= to;
    r.unread();
    if (!ok) return r.fail(expected);
    if (to - from >= gpio_range_max) return r.fail("a range of at most 4096 lines");
    r.skip();
    return true;
}

bool parse_gpio(line_reader &r, scenario &s) {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    if (!take_lines(r, from, to)) return false;
    gpio_setup v;
    int choice = 0;
    if (!r.take_choice(choice, {"reads", "broken", "absent"}, "a GPIO setting (reads, broken, absent)"))
        return false;
    if (choice == 0) {
        std::string text;
        if (!r.take_text(text, "the text the value file reads, e.g. 0, 1 or \"1\\n\"")) return false;
        v.reads = text;
    } else if (!r.take_yes_no(choice == 1 ? v.broken : v.absent, choice == 1 ? "broken" : "absent")) {
        return false;
    }
    if (!r.finish()) return false;
    for (std::uint64_t line = from; line <= to; ++line) {
        gpio_setup &g = s.gpio[static_cast<int>(line)];
        if (choice == 0) g.reads = v.reads;
        if (choice == 1) g.broken = v.broken;
        if (choice == 2) g.absent = v.absent;
    }
    return true;
}

bool parse_fclk(line_reader &r, scenario &s) {
    int choice = 0;
    if (!r.take_choice(choice, {"present", "readback"}, "an fclk1 setting (present, readback)")) return false;
    if (choice == 0) {
        if (!r.take_yes_no(s.fclk_present, "present")) return false;
    } else {
        if (r.peek_is("no")) {
            r.skip();
            s.fclk_readback.reset();
        } else {
            std::string text;
            if (!r.take_text(text, "the text set_rate reads back, e.g. \"6400000\\n\"")) return false;
            s.fclk_readback = text;
        }
    }
    return r.finish();
}

bool parse_vidgen(line_reader &r, scenario &s) {
    int choice = 0;
    if (!r.take_choice(choice, {"present", "fail"}, "a vidgen setting (present, fail)")) return false;
    if (!r.take_yes_no(choice == 0 ? s.vidgen_present : s.vidgen_fail, choice == 0 ? "present" : "fail"))
        return false;
    return r.finish();
}

bool parse_watchdog(line_reader &r, scenario &s) {
    int choice = 0;
    if (!r.take_choice(choice, {"present", "busy", "timeout-readback", "stop-after", "timeout-range"},
                       "a watchdog setting (present, busy, timeout-readback, stop-after, timeout-range)"))
        return false;
    if (choice == 0 && !r.take_yes_no(s.watchdog_present, "present")) return false;
    if (choice == 1 && !r.take_yes_no(s.watchdog_busy, "busy")) return false;
    if (choice == 2) {
        if (r.peek_is("no")) {
            r.skip();
            s.watchdog_timeout_readback.reset();
        } else {
            int n = 0;
            if (!r.take_signed(n, "a timeout in seconds, or no")) return false;
            s.watchdog_timeout_readback = n;
        }
    }
    if (choice == 3) {
        std::uint64_t n = 0;
        if (!r.take_number(n, std::numeric_limits<std::uint32_t>::max(), "a count of keep-alives (0: never)"))
            return false;
        s.watchdog_stop_after = n;
    }
    if (choice == 4) {
        std::uint64_t min = 0;
        std::uint64_t max = 0;
        const std::uint64_t limit = std::numeric_limits<std::uint32_t>::max() / 1000;
        if (!r.take_number(min, limit, "the shortest timeout in seconds (0 to 4294967)") ||
            !r.take_number(max, limit, "the longest timeout in seconds (0 to 4294967)"))
            return false;
        if (max < min) {
            r.unread();
            return r.fail("a longest timeout no shorter than the shortest");
        }
        s.watchdog_timeout_min = static_cast<std::uint32_t>(min);
        s.watchdog_timeout_max = static_cast<std::uint32_t>(max);
    }
    return r.finish();
}

bool parse_fail_op(line_reader &r, scenario &s) {
    std::uint64_t n = 0;
    if (!r.take_number(n, std::numeric_limits<std::uint32_t>::max(), "an operation number (0: none)"))
        return false;
    s.fail_op = n;
    return r.finish();
}

bool parse_run(line_reader &r, scenario &s) {
    int choice = 0;
    if (!r.take_choice(choice, {"time-limit", "operation-limit"}, "a run setting (time-limit, operation-limit)"))
        return false;
    std::uint64_t n = 0;
    if (choice == 0) {
        if (!r.take_number(n, 1000000000, "a time in whole seconds of board time, 0 to 1000000000 (0: none)"))
            return false;
        s.time_limit_us = n * 1000000;
    } else {
        if (!r.take_number(n, std::numeric_limits<std::uint32_t>::max(), "a count of board operations (0: none)"))
            return false;
        s.operation_limit = n;
    }
    return r.finish();
}

} // namespace

std::string parse_scenario(std::string_view text, std::string_view name, scenario &out) {
    scenario s = out;
    std::size_t line_no = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++line_no;

        const std::string where = std::string{name} + ":" + std::to_string(line_no) + ": ";
        if (line.find('\0') != std::string_view::npos) return where + "expected text, got a NUL byte";
        std::vector<word> words;
        if (std::string e = split_words(line, words); !e.empty()) return where + e;
        if (words.empty()) continue;

        line_reader r{std::move(words)};
        int subject = 0;
        if (!r.take_choice(subject, {"chain", "spi", "gpio", "fclk1", "vidgen", "watchdog", "fail-op", "run"},
                           "a setting: chain, spi, gpio, fclk1, vidgen, watchdog, fail-op or run"))
            return where + r.error();
        static const std::array<std::function<bool(line_reader &, scenario &)>, 8> parsers{
            parse_chain, parse_spi, parse_gpio, parse_fclk, parse_vidgen, parse_watchdog, parse_fail_op, parse_run};
        if (!parsers[subject](r, s)) return where + r.error();
    }
    out = std::move(s);
    return "";
}

} // namespace boardsim::detail
