#pragma once

// A number that is the whole of a text and nothing else: no blanks, no "+", digits to the end. The
// simulated board, the benchmarks and the tools' helpers read every number of their own so; the
// programs read theirs as their command lines always have (decimal.h).
#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>

enum class number_base {
    decimal,        // "12"
    hex,            // "0x0c" (or "0X0C"): the prefix is required
    decimal_or_hex, // either
    hex_digits,     // "0c": hex digits alone, as bytes are written
};

// The number, or nothing when the text is empty, holds anything else, or is out of T's range. A signed
// T takes a leading "-".
template <std::integral T>
constexpr std::optional<T> parse_number(std::string_view text, number_base base = number_base::decimal) {
    const bool prefixed = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (base == number_base::hex && !prefixed) return std::nullopt;
    const bool hex = base == number_base::hex_digits || (base != number_base::decimal && prefixed);
    if (hex && base != number_base::hex_digits) text.remove_prefix(2);
    const int radix = hex ? 16 : 10;
    if (hex && text.starts_with('-')) return std::nullopt; // "0x-5" is no number
    T value{};
    const char *const end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, radix);
    if (text.empty() || ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}
