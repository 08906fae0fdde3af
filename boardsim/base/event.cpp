// Board events as trace lines, and trace lines read back as events.
#include "base/event.h"

#include "base/text.h"
#include "number.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <utility>

namespace boardsim::detail {

namespace {

// The longest wait a trace line may hold: about 31 years.
constexpr std::uint64_t max_wait_seconds = 1000000000;

constexpr std::array<std::pair<int, const char *>, 8> named_flags{{{O_CREAT, "O_CREAT"},
                                                                   {O_EXCL, "O_EXCL"},
                                                                   {O_NOCTTY, "O_NOCTTY"},
                                                                   {O_TRUNC, "O_TRUNC"},
                                                                   {O_APPEND, "O_APPEND"},
                                                                   {O_NONBLOCK, "O_NONBLOCK"},
                                                                   {O_SYNC, "O_SYNC"},
                                                                   {O_CLOEXEC, "O_CLOEXEC"}}};
constexpr std::array<std::pair<int, const char *>, 4> access_modes{
    {{O_RDONLY, "O_RDONLY"}, {O_WRONLY, "O_WRONLY"}, {O_RDWR, "O_RDWR"}, {O_ACCMODE, "O_ACCMODE"}}};

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string result_text(const board_event &e) {
    std::string text = e.result >= 0 && e.kind == event_kind::open ? "= fd " : "= ";
    if (e.result >= 0) {
        text += std::to_string(e.result);
        return text;
    }
    text += "-1 ";
    text += error_name(e.error);
    if (e.injected) text += " (injected)";
    return text;
}

std::string bytes_text(const board_event &e, std::size_t len) {
    return e.text_file ? quoted_text(e.data.data(), len) : hex_bytes(e.data.data(), len);
}

// ---- reading a line back ----

class cursor {
  public:
    explicit cursor(std::string_view text) : rest_(text) {}

    [[nodiscard]] bool at_end() const { return rest_.empty(); }
    [[nodiscard]] bool next_is(char c) const { return !rest_.empty() && rest_.front() == c; }
    [[nodiscard]] std::string_view rest() const { return rest_; }

    std::string_view word() {
        skip_blanks();
        const std::size_t end = std::min(rest_.find(' '), rest_.size());
        const std::string_view w = rest_.substr(0, end);
        rest_.remove_prefix(end);
        return w;
    }
    bool literal(std::string_view w) {
        skip_blanks();
        if (!rest_.starts_with(w)) return false;
        rest_.remove_prefix(w.size());
        return true;
    }
    void skip_blanks() {
        while (!rest_.empty() && rest_.front() == ' ')
            rest_.remove_prefix(1);
    }

    // "..." with the trace's escapes, or [hex hex ...]. False when neither is there whole.
    bool bytes(std::vector<std::uint8_t> &out, bool &text) {
        skip_blanks();
        out.clear();
        if (next_is('[')) {
            text = false;
            const std::size_t close = rest_.find(']');
            if (close == std::string_view::npos) return false;
            cursor inner{rest_.substr(1, close - 1)};
            rest_.remove_prefix(close + 1);
            for (inner.skip_blanks(); !inner.at_end(); inner.skip_blanks()) {
                const std::string_view w = inner.word();
                const std::optional<std::uint8_t> value =
                    parse_number<std::uint8_t>(w, number_base::hex_digits);
                if (w.size() != 2 || !value) return false;
                out.push_back(*value);
            }
            return true;
        }
        if (!next_is('"')) return false;
        text = true;
        const unquoted q = unquote(rest_);
        if (!q.error.empty()) return false;
        out.assign(q.bytes.begin(), q.bytes.end());
        rest_.remove_prefix(q.length);
        return true;
    }

  private:
    std::string_view rest_;
};

template <typename T> bool number(std::string_view text, T &out, int base = 10) {
    const std::optional<T> value =
        parse_number<T>(text, base == 16 ? number_base::hex : number_base::decimal);
    if (value) out = *value;
    return value.has_value();
}

bool parse_flags(std::string_view text, int &flags) {
    std::size_t bar = std::min(text.find('|'), text.size());
    bool known = false;
    for (const auto &[mode, name] : access_modes)
        if (text.substr(0, bar) == name) flags = mode, known = true;
    while (known && bar < text.size()) {
        text.remove_prefix(bar + 1);
        bar = std::min(text.find('|'), text.size());
        const std::string_view name = text.substr(0, bar);
        known = false;
        for (const auto &[bit, n] : named_flags)
            if (name == n) flags |= bit, known = true;
        unsigned other = 0;
        if (!known && number(name, other, 16)) flags |= static_cast<int>(other), known = true;
    }
    return known;
}

// "= N", "= fd N" for an open, or "= -1 ENAME" with " (injected)" after it.
std::string parse_result(cursor &c, board_event &e) {
    if (!c.literal("=")) return "expected \"= \" and the result";
    if (e.kind == event_kind::open && c.literal("fd")) {
        if (!number(c.word(), e.result) || e.result < 0) return "expected a descriptor after \"= fd\"";
        return "";
    }
    const std::string_view r = c.word();
    if (!number(r, e.result) || e.result < -1) return "expected a result after \"=\"";
    if (e.result == -1) {
        const std::string_view name = c.word();
        e.error = error_number(name);
        if (e.error == 0) return "expected an error name (ENOENT, EIO, ...) after \"= -1\"";
        e.injected = c.literal("(injected)");
    }
    return "";
}

} // namespace

std::string quoted_text(const void *data, std::size_t len) {
    return quoted(std::string_view{static_cast<const char *>(data), len});
}

std::string hex_bytes(const void *data, std::size_t len) {
    const auto *bytes = static_cast<const unsigned char *>(data);
    std::string out = "[";
    for (std::size_t i = 0; i < len; ++i) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X", bytes[i]);
        if (i > 0) out += ' ';
        out += text;
    }
    return out + "]";
}

std::string flags_text(int flags) {
    std::string text;
    for (const auto &[mode, name] : access_modes)
        if ((flags & O_ACCMODE) == mode) text = name;
    int rest = flags & ~O_ACCMODE;
#ifdef O_LARGEFILE
    rest &= ~O_LARGEFILE; // added by the 32-bit C library on its own; not the program's choice
#endif
    for (const auto &[bit, name] : named_flags) {
        if ((rest & bit) == bit) {
            text += '|';
            text += name;
            rest &= ~bit;
        }
    }
    if (rest != 0) {
        text += '|';
        text += hex(static_cast<unsigned>(rest));
    }
    return text;
}

std::string attribute_text(const board_event &e) {
    std::string text{e.data.begin(), e.data.end()};
    text.resize(std::min(text.find('\0'), text.size()));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string error_name(int error) {
    const char *name = error_name_of(error);
    return name != nullptr ? name : "E?";
}

std::string time_prefix(std::uint64_t us) {
    char text[40];
    std::snprintf(text, sizeof text, "[%5llu.%06llu] ", static_cast<unsigned long long>(us / 1000000),
                  static_cast<unsigned long long>(us % 1000000));
    return text;
}

std::string call_text(const board_event &e) {
    // Appended piece by piece: GCC 12 warns falsely about concatenations of temporaries.
    std::string text;
    switch (e.kind) {
    case event_kind::open:
        text.append("open ").append(e.path).append(" ").append(flags_text(e.flags));
        break;
    case event_kind::write:
        text.append("write ").append(e.path);
        if (e.has_data) text.append(" ").append(bytes_text(e, e.data.size()));
        text.append(" (").append(std::to_string(e.count)).append(")");
        break;
    case event_kind::read:
        text.append("read ").append(e.path).append(" ask ").append(std::to_string(e.count));
        break;
    case event_kind::ioctl:
        text.append("ioctl ")
            .append(e.path)
            .append(" ")
            .append(e.request_name)
            .append(" ")
            .append(hex(e.request));
        if (e.argument == argument_kind::pointer) text.append(" ").append(std::to_string(e.before));
        if (e.argument == argument_kind::value)
            text.append(" ").append(hex(static_cast<std::uint64_t>(e.before)));
        break;
    case event_kind::close:
        text.append("close ").append(e.path);
        break;
    case event_kind::wait: {
        char amount[48];
        const auto whole = static_cast<unsigned long long>(e.wait_us / 1000000);
        const auto micro = static_cast<unsigned long long>(e.wait_us % 1000000);
        if (micro == 0)
            std::snprintf(amount, sizeof amount, "wait %llu s", whole);
        else
            std::snprintf(amount, sizeof amount, "wait %llu.%06llu s", whole, micro);
        text.append(amount);
        break;
    }
    case event_kind::signal:
        text.append("signal ").append(e.note);
        break;
    case event_kind::note:
        text.append(e.note);
        break;
    case event_kind::reset:
        text.append("reset ").append(e.path).append(": ").append(e.note);
        break;
    case event_kind::end:
        text.append("end: ").append(e.note);
        break;
    }
    return text;
}

// "@2 " for an event of a process other than the run's first.
std::string process_tag(const board_event &e) {
    std::string tag;
    if (e.process > 1) tag.append("@").append(std::to_string(e.process)).append(" ");
    return tag;
}

std::string event_text(const board_event &e) {
    if (e.kind == event_kind::note || e.kind == event_kind::reset || e.kind == event_kind::end)
        return call_text(e);
    if (e.kind == event_kind::wait || e.kind == event_kind::signal) return process_tag(e) + call_text(e);
    std::string text = "#";
    text += std::to_string(e.number);
    text += ' ';
    text += process_tag(e);
    text += call_text(e);
    if (e.kind == event_kind::ioctl && e.argument == argument_kind::pointer) {
        text += " -> ";
        text += std::to_string(e.after);
    }
    text += ' ';
    text += result_text(e);
    if (e.kind == event_kind::read && e.result > 0) {
        text += ' ';
        text += bytes_text(e, static_cast<std::size_t>(e.result));
    }
    return text;
}

namespace {

// "[   13.000000] ": the time of a trace line.
bool parse_time(std::string_view stamp, std::uint64_t &us) {
    const std::size_t dot = stamp.find('.');
    std::size_t first = 0;
    while (first < stamp.size() && stamp[first] == ' ')
        ++first;
    if (dot == std::string_view::npos || stamp.size() - dot != 7) return false;
    const std::optional<std::uint64_t> whole = parse_number<std::uint64_t>(stamp.substr(first, dot - first));
    const std::optional<std::uint64_t> micro = parse_number<std::uint64_t>(stamp.substr(dot + 1));
    if (!whole || !micro || *whole > max_wait_seconds) return false;
    us = *whole * 1000000 + *micro;
    return true;
}

// The lines the board writes of itself, which a replay writes again where they come.
bool is_note(std::string_view text) {
    constexpr std::array<std::string_view, 4> starts{"process ", "scenario: ", "chain ", "watchdog: "};
    return std::any_of(starts.begin(), starts.end(),
                       [text](std::string_view s) { return text.starts_with(s); });
}

} // namespace

namespace {

// "[   13.000000] #12 @2 ": the time, the operation's number and the process, each where it is given.
std::string parse_prefix(std::string_view line, cursor &c, board_event &e, bool &numbered) {
    if (c.next_is('[')) {
        const std::size_t close = line.find("] ");
        if (close == std::string_view::npos || !parse_time(line.substr(1, close - 1), e.time_us))
            return "expected a time, \"[   13.000000] \", at the start";
        e.timed = true;
        c = cursor{line.substr(close + 2)};
    }
    numbered = c.literal("#");
    if (numbered && !number(c.word(), e.number)) return "expected an operation number after \"#\"";
    if (c.literal("@") && (!number(c.word(), e.process) || e.process < 2))
        return "expected a process number (2 or more) after \"@\"";
    c.skip_blanks();
    return "";
}

// The board's own lines: the end, a note, the reset, a signal, a wait. False when the line is none of
// them (then it is an operation's).
bool parse_own_line(cursor &c, board_event &e, std::string &error) {
    if (c.literal("end:")) {
        e.kind = event_kind::end;
        c.skip_blanks();
        e.note = std::string{c.rest()};
        return true;
    }
    if (is_note(c.rest())) {
        e.kind = event_kind::note;
        e.note = std::string{c.rest()};
        return true;
    }
    cursor word = c;
    const std::string_view what = word.word();
    if (what == "reset") {
        // "reset /dev/watchdog0: why".
        const std::string_view path = word.word();
        if (!path.starts_with("/") || !path.ends_with(":"))
            error = "expected the path of what reset the board, and \":\", after \"reset\"";
        e.kind = event_kind::reset;
        e.path = std::string{path.substr(0, path.empty() ? 0 : path.size() - 1)};
        word.skip_blanks();
        e.note = std::string{word.rest()};
    } else if (what == "signal") {
        e.kind = event_kind::signal;
        word.skip_blanks();
        e.note = std::string{word.rest()};
        const std::string_view name = std::string_view{e.note}.substr(0, e.note.find(' '));
        if (signal_number(name) == 0)
            error = "expected a signal that ends or interrupts a run (SIGTERM, SIGINT, SIGHUP, SIGQUIT, "
                    "SIGKILL, ...) "
                    "after \"signal\", got " +
                    excerpt(name);
    } else if (what == "wait") {
        e.kind = event_kind::wait;
        const std::string_view amount = word.word();
        const std::size_t dot = amount.find('.');
        std::uint64_t whole = 0;
        std::uint64_t micro = 0;
        const bool ok = dot == std::string_view::npos
                            ? number(amount, whole)
                            : number(amount.substr(0, dot), whole) && amount.size() - dot == 7 &&
                                  number(amount.substr(dot + 1), micro);
        if (!ok || whole > max_wait_seconds || !word.literal("s") || !word.at_end())
            error = "expected a time in seconds after \"wait\", e.g. \"wait 5 s\"";
        e.wait_us = whole * 1000000 + micro;
    } else {
        return false;
    }
    return true;
}

// What an operation's line says of the call, after its path: open's flags, the bytes written and
// their count, the count a read asks for, a request's name, number and argument.
std::string parse_call(cursor &c, board_event &e) {
    switch (e.kind) {
    case event_kind::open:
        if (!parse_flags(c.word(), e.flags)) return "expected open flags (O_RDONLY, O_WRONLY|O_CLOEXEC, ...)";
        return "";
    case event_kind::write: {
        c.skip_blanks();
        e.has_data = !c.next_is('(');
        if (e.has_data && !c.bytes(e.data, e.text_file))
            return "expected the bytes written, \"text\" or [hex bytes]";
        // The count in parentheses: "(3)".
        const std::string_view w = c.word();
        if (w.size() < 3 || w.front() != '(' || w.back() != ')' ||
            !number(w.substr(1, w.size() - 2), e.count))
            return "expected the count written in parentheses, e.g. (2)";
        if (e.has_data && e.count != e.data.size())
            return "expected as many bytes as the count in parentheses";
        return "";
    }
    case event_kind::read:
        if (!c.literal("ask") || !number(c.word(), e.count))
            return "expected \"ask\" and the count asked for";
        return "";
    case event_kind::ioctl: {
        e.request_name = std::string{c.word()};
        if (e.request_name.empty() || !number(c.word(), e.request, 16))
            return "expected a request name and its number in hex";
        c.skip_blanks();
        if (c.next_is('=')) return "";
        const std::string_view v = c.word();
        if (number(v, e.before, 16)) {
            e.argument = argument_kind::value;
        } else if (number(v, e.before) && c.literal("->") && number(c.word(), e.after)) {
            e.argument = argument_kind::pointer;
        } else {
            return "expected the argument: BEFORE -> AFTER, or its value in hex";
        }
        return "";
    }
    default:
        return "";
    }
}

// An operation's line: the call, its outcome, and for a read the bytes it gave.
std::string parse_operation(cursor &c, board_event &e) {
    constexpr std::array<std::pair<std::string_view, event_kind>, 5> kinds{{{"open", event_kind::open},
                                                                            {"read", event_kind::read},
                                                                            {"write", event_kind::write},
                                                                            {"ioctl", event_kind::ioctl},
                                                                            {"close", event_kind::close}}};
    const std::string_view what = c.word();
    const auto *const kind =
        std::find_if(kinds.begin(), kinds.end(), [what](const auto &k) { return k.first == what; });
    if (kind == kinds.end())
        return "expected an operation (open, read, write, ioctl, close), wait, signal, a note of the board's "
               "or "
               "end:, got " +
               excerpt(what);
    e.kind = kind->second;
    e.path = std::string{c.word()};
    if (!e.path.starts_with("/")) return "expected a board path after " + quoted(what);
    if (std::string error = parse_call(c, e); !error.empty()) return error;
    if (std::string error = parse_result(c, e); !error.empty()) return error;
    if (e.kind == event_kind::read && e.result > 0) {
        if (!c.bytes(e.data, e.text_file) || e.data.size() != static_cast<std::size_t>(e.result))
            return "expected as many bytes read as the result";
        if (e.result > static_cast<long>(e.count)) return "expected no more bytes read than asked for";
    }
    if (!c.at_end()) return "expected the end of the line, got " + excerpt(c.rest());
    return "";
}

} // namespace

std::string parse_event(std::string_view line, board_event &out) {
    board_event e;
    cursor c{line};
    bool numbered = false;
    std::string error = parse_prefix(line, c, e, numbered);
    if (error.empty() && parse_own_line(c, e, error) && error.empty()) {
        // The board's own lines carry no operation number, and a note, the reset and the end no
        // process: the trace writes none, so one given here would be lost on the way back.
        const bool whole_board =
            e.kind == event_kind::note || e.kind == event_kind::reset || e.kind == event_kind::end;
        if (numbered)
            error = "expected no operation number on a wait, a signal, a note, the reset or the end";
        else if (whole_board && e.process != 1)
            error = "expected no process number on a note, the reset or the end";
    } else if (error.empty()) {
        error = parse_operation(c, e);
    }
    if (error.empty()) out = std::move(e);
    return error;
}

bool same_call(const board_event &recorded, const board_event &call) {
    if (recorded.kind != call.kind || recorded.process != call.process || recorded.path != call.path)
        return false;
    switch (call.kind) {
    case event_kind::open:
        return flags_text(recorded.flags) == flags_text(call.flags);
    case event_kind::write:
        return recorded.count == call.count && recorded.has_data == call.has_data &&
               recorded.data == call.data;
    case event_kind::read:
        return recorded.count == call.count;
    case event_kind::wait:
        return recorded.wait_us == call.wait_us;
    case event_kind::ioctl:
        return recorded.request == call.request &&
               (recorded.argument == argument_kind::none || call.argument == argument_kind::none ||
                recorded.before == call.before);
    default:
        return true;
    }
}

} // namespace boardsim::detail
