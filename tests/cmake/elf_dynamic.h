#pragma once

// The dynamic section of an ELF file as the loader sees it: NEEDED, RUNPATH and RPATH entries.
// Read independently of binutils so that the install checks do not depend on readelf's output format.
#include <optional>
#include <string>
#include <vector>

namespace elfcheck {

struct dynamic_info {
    bool is_32bit_arm = false;
    std::vector<std::string> needed;
    std::optional<std::string> runpath;
    std::optional<std::string> rpath;
};

// Returns an error text in `error` and nothing when the file is not a little-endian ELF file with a
// well-formed dynamic section.
std::optional<dynamic_info> read_dynamic(const std::string &image, std::string &error);

} // namespace elfcheck
