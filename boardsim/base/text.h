#pragma once

// Quoted text, as traces, recordings and scenarios write it: between double quotes, with the escapes
// \0 \n \r \t \\ \" and \xhh for every other byte outside printable ASCII. One writer and one reader
// for all of them.
#include <cstdint>
#include <string>
#include <string_view>

namespace boardsim::detail {

std::string escaped(std::string_view bytes);
std::string quoted(std::string_view bytes); // escaped, between double quotes
// A piece of the input echoed in a message: quoted, cut to a readable length with "..." after it.
std::string excerpt(std::string_view bytes);

// A time in microseconds as the board's own lines write it, in seconds: "5", "0.5", "2.000001".
std::string seconds_text(std::uint64_t microseconds);

// The quoted text at the start of `text`, which begins with a double quote: its bytes and how much
// of `text` it took, or what was expected where it goes wrong.
struct unquoted {
    std::string bytes;
    std::size_t length = 0;
    std::string error; // "" when it was read
};
unquoted unquote(std::string_view text);

} // namespace boardsim::detail
