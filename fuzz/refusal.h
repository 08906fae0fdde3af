#pragma once

// What every refusal of the simulated board's text parsers must look like: one line
// "NAME:LINE: <what was expected>" naming a line of the text. A fuzz target aborts on any other; the
// line named, from 1, is returned.
#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

inline std::size_t check_refusal(std::string_view text, const std::string &verdict, const std::string &name) {
    const std::regex shape{std::regex_replace(name, std::regex{R"([.])"}, R"(\.)") + R"(:([0-9]+): [^\n]+)"};
    std::smatch m;
    if (!std::regex_match(verdict, m, shape)) std::abort();
    const std::size_t lines = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    const std::size_t line = std::stoul(m[1]);
    if (line < 1 || line > lines) std::abort();
    return line;
}
