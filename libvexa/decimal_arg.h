#pragma once

#include <cstdint>

// A command-line number as strtol reads it in base 10 on the board, where long is 32 bits: leading
// white space and a sign, digits up to the first other character, 0 without digits, and the
// nearest limit of the 32-bit range beyond it.
std::int32_t decimal_arg(const char *text);
