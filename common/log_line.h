#pragma once

#include <array>

// Every log line of a program is formatted into this one buffer and handed to the library from it.
using log_buffer = std::array<char, 256>;

// Formats and sends the line only while g_log_level <= level, read at this moment: a closed gate
// formats nothing.
void log_gated(log_buffer &line, int level, int flag, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Formats and sends the line whatever g_log_level holds.
void log_ungated(log_buffer &line, int level, int flag, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
