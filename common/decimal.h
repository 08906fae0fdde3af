#pragma once

#include <cstdint>

// Decimal text as strtol reads it in base 10 on the board, where long is 32 bits: leading white space
// and a sign, digits up to the first other character, 0 without digits, and the nearest limit of
// the 32-bit range beyond it. Command-line numbers and the clock files' rates are read so.
std::int32_t parse_decimal(const char *text);
