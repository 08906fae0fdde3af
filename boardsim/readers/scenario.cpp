// The scenario text: one setting per line, words separated by blanks, "#" starts a comment. Every
// setting is a row of one table (`keys`), from which a line is read, applied to the units it names,
// and refused with what was expected.
#include "readers/scenario.h"

#include "base/text.h"

#include "number.h"

#include <algorithm>
#include <limits>
#include <map>

namespace boardsim::detail {

scenario::scenario() {
    chains[0].inserted = true;
}

namespace {

constexpr std::uint64_t u32_max = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t gpio_max = 100000;
constexpr std::uint64_t gpio_range_max = 4096;
constexpr std::uint64_t max_time_seconds = 1000000000;

struct word {
    std::string text;
    bool quoted = false;
};

// Splits one line into words; a word in double quotes may hold blanks and the escapes. Returns an
// error text, or "" when the line was split.
std::string split_words(std::string_view line, std::vector<word> &words) {
    constexpr std::string_view blanks = " \t\r";
    std::size_t i = 0;
    while (i < line.size()) {
        if (blanks.find(line[i]) != std::string_view::npos) {
            ++i;
            continue;
        }
        if (line[i] == '#') break;
        if (line[i] == '"') {
            unquoted q = unquote(line.substr(i));
            if (!q.error.empty()) return q.error;
            words.push_back({std::move(q.bytes), true});
            i += q.length;
            continue;
        }
        const std::size_t end = std::min(line.find_first_of(" \t\r#", i), line.size());
        words.push_back({std::string{line.substr(i, end - i)}, false});
        i = end;
    }
    return "";
}

// Walks the words of one line; every take_* either yields a value or records what was expected.
class line_reader {
  public:
    explicit line_reader(std::vector<word> words) : words_(std::move(words)) {}

    [[nodiscard]] bool failed() const { return !error_.empty(); }
    [[nodiscard]] const std::string &error() const { return error_; }
    [[nodiscard]] bool at_end() const { return pos_ >= words_.size(); }

    bool fail(std::string_view expected) {
        if (error_.empty()) {
            error_ = "expected " + std::string{expected};
            error_ += at_end() ? ", got the end of the line" : ", got " + excerpt(words_[pos_].text);
        }
        return false;
    }

    bool take_text(std::string &out, std::string_view expected) {
        if (failed()) return false;
        if (at_end()) return fail(expected);
        out = words_[pos_++].text;
        return true;
    }

    bool take_number(std::uint64_t &out, std::uint64_t max, std::string_view expected) {
        if (failed()) return false;
        if (at_end() || words_[pos_].quoted) return fail(expected);
        const std::optional<std::uint64_t> value =
            parse_number<std::uint64_t>(words_[pos_].text, number_base::decimal_or_hex);
        if (!value || *value > max) return fail(expected);
        ++pos_;
        out = *value;
        return true;
    }

    bool take_signed(int &out, std::string_view expected) {
        if (failed()) return false;
        if (at_end() || words_[pos_].quoted) return fail(expected);
        const std::optional<int> value = parse_number<int>(words_[pos_].text);
        if (!value) return fail(expected);
        ++pos_;
        out = *value;
        return true;
    }

    bool take_bytes(std::vector<std::uint8_t> &out, std::size_t count) {
        out.assign(count, 0);
        for (std::uint8_t &b : out) {
            std::uint64_t v = 0;
            if (!take_number(v, 255, "a byte (0 to 255, or 0x00 to 0xff)")) {
                error_ =
                    "expected " + std::to_string(count) + " bytes" + error_.substr(error_.rfind(", got"));
                return false;
            }
            b = static_cast<std::uint8_t>(v);
        }
        return true;
    }

    // One of the words; its place among them in out.
    bool take_choice(int &out, std::initializer_list<std::string_view> choices, std::string_view expected) {
        return take_entry(
            out, choices, [](std::string_view c) { return c; }, expected);
    }

    // The name of one of the table's entries; its place in the table in out.
    template <typename Table, typename Name>
    bool take_entry(int &out, const Table &table, Name name_of, std::string_view expected) {
        if (failed()) return false;
        if (at_end()) return fail(expected);
        int i = 0;
        for (const auto &entry : table) {
            if (!words_[pos_].quoted && words_[pos_].text == name_of(entry)) {
                ++pos_;
                out = i;
                return true;
            }
            ++i;
        }
        return fail(expected);
    }

    // The word, unquoted, when it comes next.
    bool take_if(std::string_view w) {
        if (failed() || at_end() || words_[pos_].quoted || words_[pos_].text != w) return false;
        ++pos_;
        return true;
    }

    // The word "no", which some settings take for "not at all".
    bool take_no() {
        if (at_end() || words_[pos_].text != "no") return false;
        ++pos_;
        return true;
    }

    [[nodiscard]] const std::string &peek() const { return words_[pos_].text; }
    [[nodiscard]] std::size_t position() const { return pos_; }
    void skip() { ++pos_; }
    void unread() { --pos_; }

    bool finish() {
        if (failed()) return false;
        if (!at_end()) return fail("the end of the line after " + excerpt(words_[pos_ - 1].text));
        return true;
    }

  private:
    std::vector<word> words_;
    std::size_t pos_ = 0;
    std::string error_;
};

// ---- the table ----

// What a line's words come to, before they are applied to each unit the line names.
struct value {
    bool yes = false;
    bool none = false; // "no" for a setting that may be taken away
    std::uint64_t number = 0;
    std::uint64_t second = 0;
    int choice = 0;
    int signed_number = 0;
    std::vector<std::uint8_t> bytes;
    std::string text;
};

struct key;
using reader = bool (*)(line_reader &, const key &, value &);
using applier = void (*)(scenario &, int unit, const value &);

struct key {
    std::string_view subject; // chain, spi, gpio, ...
    std::string_view name;    // empty for a subject that is a setting of its own (fail-op)
    reader read;
    applier apply;
    std::string_view expected = {}; // what its value is, when a word is not it
    std::uint64_t max = 0;          // the largest number, or the count of bytes
};

enum class units { chains, ports, lines, board };

struct subject {
    std::string_view word;
    units of;
    std::string_view setting; // "a chain setting", for the message that lists its keys
};

constexpr std::array<subject, 8> subjects{{
    {"chain", units::chains, "a chain setting"},
    {"spi", units::ports, "a port setting"},
    {"gpio", units::lines, "a GPIO setting"},
    {"fclk1", units::board, "an fclk1 setting"},
    {"vidgen", units::board, "a vidgen setting"},
    {"watchdog", units::board, "a watchdog setting"},
    {"fail-op", units::board, ""},
    {"run", units::board, "a run setting"},
}};

bool yes_no(line_reader &r, const key &k, value &v) {
    int choice = 0;
    if (!r.take_choice(choice, {"yes", "no"}, "yes or no after " + quoted(k.name))) return false;
    v.yes = choice == 0;
    return true;
}

bool number(line_reader &r, const key &k, value &v) {
    return r.take_number(v.number, k.max, k.expected);
}

bool bytes(line_reader &r, const key &k, value &v) {
    return r.take_bytes(v.bytes, k.max);
}

bool text(line_reader &r, const key &k, value &v) {
    return r.take_text(v.text, k.expected);
}

// "no", or the text.
bool text_or_no(line_reader &r, const key &k, value &v) {
    v.none = r.take_no();
    return v.none || text(r, k, v);
}

// "a, b, c": the names of a table's entries, for a message.
template <typename Table, typename Name> std::string names_of(const Table &table, Name name_of) {
    std::string text;
    for (const auto &entry : table) {
        if (!text.empty()) text += ", ";
        text += name_of(entry);
    }
    return text;
}

constexpr auto reply_name = [](const reply_kind_info &k) { return k.name; };

bool reply(line_reader &r, const key & /*k*/, value &v) {
    return r.take_entry(v.choice, reply_kinds, reply_name,
                        "a command (" + names_of(reply_kinds, reply_name) + ")") &&
           r.take_bytes(v.bytes, reply_kinds[static_cast<std::size_t>(v.choice)].length);
}

bool good_bad(line_reader &r, const key & /*k*/, value &v) {
    return r.take_choice(v.choice, {"good", "bad"}, "good or bad after \"result-crc\"");
}

// A count of noise pairs, and the pair when it is given.
bool noise(line_reader &r, const key &k, value &v) {
    return number(r, k, v) && (r.at_end() || r.take_bytes(v.bytes, 2));
}

// "no", or the byte every read clocks out.
bool silent_byte(line_reader &r, const key & /*k*/, value &v) {
    v.none = r.take_no();
    return v.none || r.take_number(v.number, 255, "a byte (0 to 255, or 0x00 to 0xff)");
}

// "all", "after N" or "no": the count of transfers that succeed first, or none that fail.
bool fail_after(line_reader &r, const key &k, value &v) {
    if (!r.take_choice(v.choice, {"all", "after", "no"}, "all, after N or no after " + quoted(k.name)))
        return false;
    return v.choice != 1 || r.take_number(v.number, u32_max, "a count after \"after\"");
}

// One of the port's requests, or "none".
bool spi_request_name(line_reader &r, const key & /*k*/, value &v) {
    constexpr auto name = [](const spi_request_info &q) { return q.name; };
    if (r.take_if("none")) {
        v.choice = static_cast<int>(spi_request::none);
        return true;
    }
    return r.take_entry(v.choice, spi_requests, name, names_of(spi_requests, name) + " or none");
}

// "no", or the seconds the driver writes back.
bool seconds_or_no(line_reader &r, const key &k, value &v) {
    v.none = r.take_no();
    return v.none || r.take_signed(v.signed_number, k.expected);
}

bool timeout_range(line_reader &r, const key &k, value &v) {
    if (!r.take_number(v.number, k.max, "the shortest timeout in seconds (0 to 4294967)") ||
        !r.take_number(v.second, k.max, "the longest timeout in seconds (0 to 4294967)"))
        return false;
    if (v.second >= v.number) return true;
    r.unread();
    return r.fail("a longest timeout no shorter than the shortest");
}

std::optional<std::uint64_t> fail_count(const value &v) {
    if (v.choice == 2) return std::nullopt;
    return v.choice == 0 ? 0 : v.number;
}

#define TO(...) [](scenario &s, [[maybe_unused]] int u, const value &v) { __VA_ARGS__; }

// Every setting, in the order the messages name them.
constexpr std::array keys{
    key{"chain", "inserted", yes_no, TO(s.chains[u].inserted = v.yes)},
    key{"chain", "needs-power", yes_no, TO(s.chains[u].needs_power = v.yes)},
    key{"chain", "type", number, TO(s.chains[u].type = static_cast<std::uint8_t>(v.number)),
        "a type code 0 to 15", 15},
    key{"chain", "reply", reply,
        TO(s.chains[u].replies[static_cast<std::size_t>(
               reply_kinds[static_cast<std::size_t>(v.choice)].which)] = v.bytes)},
    key{"chain", "result", bytes, TO(std::copy(v.bytes.begin(), v.bytes.end(), s.chains[u].result.begin())),
        "", 6},
    key{"chain", "result-crc", good_bad, TO(s.chains[u].result_bad_crc = v.choice == 1)},
    key{"chain", "result-zero-first", yes_no, TO(s.chains[u].result_zero_first = v.yes)},
    key{"chain", "status", bytes, TO(std::copy(v.bytes.begin(), v.bytes.end(), s.chains[u].status.begin())),
        "", 14},
    key{"chain", "status-flag", number,
        TO(std::uint8_t &flags = s.chains[u].status[status_flag_byte];
           flags = static_cast<std::uint8_t>((flags & 0xFE) | v.number)),
        "0 or 1 after \"status-flag\"", 1},
    key{"chain", "status-0a-first", yes_no, TO(s.chains[u].status_0a_first = v.yes)},
    key{"chain", "noise", noise,
        TO(s.chains[u].noise_pairs = static_cast<int>(v.number);
           if (!v.bytes.empty()) s.chains[u].noise = {v.bytes[0], v.bytes[1]}),
        "a count of noise pairs", 1000000},
    key{"chain", "silent", silent_byte,
        TO(s.chains[u].silent = v.none ? std::nullopt : std::optional<std::uint8_t>(v.number))},
    key{"chain", "fail-reads", fail_after, TO(s.chains[u].reads_ok = fail_count(v))},
    key{"chain", "fail-writes", fail_after, TO(s.chains[u].writes_ok = fail_count(v))},
    key{"spi", "present", yes_no, TO(s.ports[u].present = v.yes)},
    key{"spi", "mode-readback", number, TO(s.ports[u].mode_readback = static_cast<std::uint8_t>(v.number)),
        "a mode 0 to 255", 255},
    key{"spi", "bits-readback", number, TO(s.ports[u].bits_readback = static_cast<std::uint8_t>(v.number)),
        "a word size 0 to 255", 255},
    key{"spi", "speed-readback", number, TO(s.ports[u].speed_readback = static_cast<std::uint32_t>(v.number)),
        "a speed in Hz", u32_max},
    key{"spi", "fail-request", spi_request_name,
        TO(s.ports[u].fail_request = v.choice == static_cast<int>(spi_request::none)
                                         ? spi_request::none
                                         : spi_requests[static_cast<std::size_t>(v.choice)].which)},
    key{"gpio", "reads", text, TO(s.gpio[u].reads = v.text),
        "the text the value file reads, e.g. 0, 1 or \"1\\n\""},
    key{"gpio", "broken", yes_no, TO(s.gpio[u].broken = v.yes)},
    key{"gpio", "absent", yes_no, TO(s.gpio[u].absent = v.yes)},
    key{"fclk1", "present", yes_no, TO(s.fclk_present = v.yes)},
    key{"fclk1", "readback", text_or_no,
        TO(s.fclk_readback = v.none ? std::nullopt : std::optional<std::string>{v.text}),
        "the text set_rate reads back, e.g. \"6400000\\n\""},
    key{"vidgen", "present", yes_no, TO(s.vidgen_present = v.yes)},
    key{"vidgen", "fail", yes_no, TO(s.vidgen_fail = v.yes)},
    key{"watchdog", "present", yes_no, TO(s.watchdog_present = v.yes)},
    key{"watchdog", "busy", yes_no, TO(s.watchdog_busy = v.yes)},
    key{"watchdog", "timeout-readback", seconds_or_no,
        TO(s.watchdog_timeout_readback = v.none ? std::nullopt : std::optional<int>{v.signed_number}),
        "a timeout in seconds, or no"},
    key{"watchdog", "stop-after", number, TO(s.watchdog_stop_after = v.number),
        "a count of keep-alives (0: never)", u32_max},
    key{"watchdog", "timeout", number, TO(s.watchdog_timeout = static_cast<std::uint32_t>(v.number)),
        "a timeout in seconds, 0 to 4294967", u32_max / 1000},
    key{"watchdog", "fires", yes_no, TO(s.watchdog_fires = v.yes)},
    key{"watchdog", "magic-close", yes_no, TO(s.watchdog_magic_close = v.yes)},
    key{"watchdog", "timeout-range", timeout_range,
        TO(s.watchdog_timeout_min = static_cast<std::uint32_t>(v.number);
           s.watchdog_timeout_max = static_cast<std::uint32_t>(v.second)),
        "", u32_max / 1000},
    key{"fail-op", "", number, TO(s.fail_op = v.number), "an operation number (0: none)", u32_max},
    key{"run", "time-limit", number, TO(s.time_limit_us = v.number * 1000000),
        "a time in whole seconds of board time, 0 to 1000000000 (0: none)", 1000000000},
    key{"run", "operation-limit", number, TO(s.operation_limit = v.number),
        "a count of board operations (0: none)", u32_max},
};

#undef TO

// "N" or "*" for chains and ports, "L" or "FROM-TO" for GPIO lines: the units a line applies to.
bool take_units(line_reader &r, units of, std::vector<int> &out) {
    out.clear();
    if (of == units::board) {
        out.push_back(0);
        return true;
    }
    if (of != units::lines) {
        if (!r.at_end() && r.peek() == "*") {
            r.skip();
            for (int i = 0; i < chain_count; ++i)
                out.push_back(i);
            return true;
        }
        std::uint64_t n = 0;
        if (!r.take_number(n, chain_count - 1,
                           of == units::chains ? "a chain number 0 to 7, or *"
                                               : "a port number 0 to 7, or *"))
            return false;
        out.push_back(static_cast<int>(n));
        return true;
    }
    constexpr std::string_view expected = "a GPIO number 0 to 100000, or a range FROM-TO";
    std::string text;
    if (!r.take_text(text, expected)) return false;
    auto line = [](std::string_view t, std::uint64_t &n) {
        const std::optional<std::uint64_t> value = parse_number<std::uint64_t>(t);
        n = value.value_or(0);
        return value && n <= gpio_max;
    };
    const std::size_t dash = text.find('-');
    const std::string_view all{text};
    std::uint64_t from = 0;
    std::uint64_t to = 0;
    const bool ok = dash == std::string::npos
                        ? line(all, from) && line(all, to)
                        : line(all.substr(0, dash), from) && line(all.substr(dash + 1), to) && from <= to;
    r.unread();
    if (!ok) return r.fail(expected);
    if (to - from >= gpio_range_max) return r.fail("a range of at most 4096 lines");
    r.skip();
    for (std::uint64_t l = from; l <= to; ++l)
        out.push_back(static_cast<int>(l));
    return true;
}

// The key the line names after its subject, or nullptr with the message that lists the subject's keys.
const key *take_key(line_reader &r, const subject &what) {
    std::string listed;
    const key *found = nullptr;
    for (const key &k : keys) {
        if (k.subject != what.word) continue;
        if (k.name.empty()) return &k;
        listed += listed.empty() ? " (" : ", ";
        listed += k.name;
        if (found == nullptr && r.take_if(k.name)) found = &k;
    }
    if (found == nullptr) r.fail(std::string{what.setting} + listed + ")");
    return found;
}

// One setting read from a line: its key, the units it names, its value.
struct setting {
    const key *k = nullptr;
    std::vector<int> targets;
    value v;
};

// The setting a line's words give; "" or what was expected.
std::string read_setting(line_reader &r, setting &out) {
    std::string listed;
    const subject *what = nullptr;
    for (const subject &sub : subjects) {
        listed += listed.empty() ? "" : &sub == &subjects.back() ? " or " : ", ";
        listed += sub.word;
        if (what == nullptr && r.take_if(sub.word)) what = &sub;
    }
    if (what == nullptr) {
        r.fail("a setting: " + listed);
        return r.error();
    }
    out.k = take_units(r, what->of, out.targets) ? take_key(r, *what) : nullptr;
    if (out.k == nullptr || !out.k->read(r, *out.k, out.v) || !r.finish()) return r.error();
    return "";
}

void apply(scenario &s, const setting &st) {
    for (const int unit : st.targets)
        st.k->apply(s, unit, st.v);
}

// "at SECONDS", whole or with up to six decimals: when a setting takes effect.
bool take_time(line_reader &r, std::uint64_t &us) {
    constexpr std::string_view expected = "a time in seconds after \"at\", e.g. 20 or 2.5";
    std::string text;
    if (!r.take_text(text, expected)) return false;
    const std::size_t dot = text.find('.');
    const std::string_view all{text};
    const std::optional<std::uint64_t> whole = parse_number<std::uint64_t>(all.substr(0, dot));
    std::uint64_t micro = 0;
    if (dot != std::string_view::npos) {
        const std::string_view digits = all.substr(dot + 1);
        const std::optional<std::uint64_t> fraction = parse_number<std::uint64_t>(digits);
        if (!fraction || digits.size() > 6) {
            r.unread();
            return r.fail(expected);
        }
        micro = *fraction;
        for (std::size_t i = digits.size(); i < 6; ++i)
            micro *= 10;
    }
    if (!whole || *whole > max_time_seconds) {
        r.unread();
        return r.fail(expected);
    }
    us = *whole * 1000000 + micro;
    return true;
}

// The line's words as a scenario writes them, quoted where they were.
std::string words_text(const std::vector<word> &words) {
    std::string text;
    for (const word &w : words) {
        if (!text.empty()) text += ' ';
        text += w.quoted ? quoted(w.text) : w.text;
    }
    return text;
}

} // namespace

std::vector<std::string> scenario_settings() {
    std::vector<std::string> names;
    for (const key &k : keys) {
        std::string name{k.subject};
        for (const subject &sub : subjects)
            if (sub.word == k.subject && sub.of != units::board)
                name.append(sub.of == units::lines ? " L" : " N");
        if (!k.name.empty()) name.append(" ").append(k.name);
        names.push_back(std::move(name));
    }
    return names;
}

std::string apply_timed(scenario &s, const timed_setting &t) {
    std::vector<word> words;
    if (std::string e = split_words(t.text, words); !e.empty()) return e;
    line_reader r{std::move(words)};
    setting st;
    if (std::string e = read_setting(r, st); !e.empty()) return e;
    apply(s, st);
    return "";
}

namespace {

// What a setting names: "chain 3 inserted", "watchdog busy", "fail-op".
std::string setting_name(const setting &st, int unit) {
    std::string text{st.k->subject};
    for (const subject &sub : subjects)
        if (sub.word == st.k->subject && sub.of != units::board) text += " " + std::to_string(unit);
    if (!st.k->name.empty()) text += " " + std::string{st.k->name};
    return text;
}

} // namespace

std::string parse_scenario(std::string_view text, std::string_view name, scenario &out) {
    scenario s = out;
    std::map<std::pair<const key *, int>, std::pair<std::uint64_t, std::size_t>> set_at; // time, line
    std::size_t line_no = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++line_no;

        const std::string where = std::string{name} + ":" + std::to_string(line_no) + ": ";
        if (line.find('\0') != std::string_view::npos) return where + "expected text, got a NUL byte";
        std::vector<word> words;
        if (std::string e = split_words(line, words); !e.empty()) return where + e;
        if (words.empty()) continue;
        line_reader r{words};
        std::uint64_t at = 0;
        if (r.take_if("at") && !take_time(r, at)) return where + r.error();
        const std::size_t setting_from = r.position();
        setting st;
        if (std::string e = read_setting(r, st); !e.empty()) return where + e;
        // A setting given at a time before an earlier line's for the same unit leaves it unclear which
        // of the two holds from then on.
        for (const int unit : st.targets) {
            const auto [it, fresh] = set_at.try_emplace({st.k, unit}, at, line_no);
            if (!fresh && it->second.first > at)
                return where + "expected a time of " + seconds_text(it->second.first) + " s or later for " +
                       quoted(setting_name(st, unit)) + ", which line " + std::to_string(it->second.second) +
                       " sets at " + seconds_text(it->second.first) +
                       " s: which of the two holds would be unclear";
            it->second = {at, line_no};
        }
        if (at == 0) {
            apply(s, st);
        } else {
            s.events.push_back(
                {at, words_text({words.begin() + static_cast<std::ptrdiff_t>(setting_from), words.end()})});
        }
    }
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const timed_setting &a, const timed_setting &b) { return a.at_us < b.at_us; });
    out = std::move(s);
    return "";
}

} // namespace boardsim::detail
