#include "decimal.h"

#include <cstdint>
#include <cstdlib>

std::int32_t parse_decimal(const char *text) {
    const long value = std::strtol(text, nullptr, 10);
    if constexpr (sizeof(long) > sizeof(std::int32_t)) {
        if (value > INT32_MAX) return INT32_MAX;
        if (value < INT32_MIN) return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}
