#include "base/text.h"

#include "number.h"

#include <cstdint>
#include <optional>

namespace boardsim::detail {

namespace {

constexpr std::string_view escape_letters = "0nrt\\\"";
constexpr std::string_view escaped_bytes{"\0\n\r\t\\\"", 6};

} // namespace

std::string escaped(std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (const std::size_t at = escaped_bytes.find(c); at != std::string_view::npos) {
            out += '\\';
            out += escape_letters[at];
        } else if (b < 0x20 || b >= 0x7f) {
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

std::string quoted(std::string_view bytes) {
    return '"' + escaped(bytes) + '"';
}

std::string seconds_text(std::uint64_t microseconds) {
    constexpr std::uint64_t second = 1000000;
    std::string text = std::to_string(microseconds / second);
    if (microseconds % second != 0) {
        std::string fraction = std::to_string(microseconds % second + second).substr(1);
        while (fraction.back() == '0')
            fraction.pop_back();
        text += "." + fraction;
    }
    return text;
}

std::string excerpt(std::string_view bytes) {
    constexpr std::size_t longest = 80;
    if (bytes.size() <= longest) return quoted(bytes);
    return quoted(bytes.substr(0, longest)) + "...";
}

unquoted unquote(std::string_view text) {
    unquoted out;
    std::size_t i = 1;
    for (;;) {
        if (i >= text.size()) {
            out.error = "expected a closing \" before the end of the line";
            return out;
        }
        const char c = text[i++];
        if (c == '"') break;
        if (c != '\\') {
            out.bytes += c;
            continue;
        }
        if (i >= text.size()) {
            out.error = "expected an escape after \\";
            return out;
        }
        const char e = text[i++];
        if (const std::size_t at = escape_letters.find(e); at != std::string_view::npos) {
            out.bytes += escaped_bytes[at];
        } else if (e == 'x') {
            const std::string_view digits = text.substr(i, 2);
            const std::optional<std::uint8_t> value =
                parse_number<std::uint8_t>(digits, number_base::hex_digits);
            if (digits.size() != 2 || !value) {
                out.error = "expected two hex digits after \\x";
                return out;
            }
            out.bytes += static_cast<char>(*value);
            i += 2;
        } else {
            out.error = "expected one of the escapes \\0 \\n \\r \\t \\\\ \\\" \\xHH, got \\" +
                        escaped(std::string_view{&e, 1});
            return out;
        }
    }
    out.length = i;
    return out;
}

} // namespace boardsim::detail
