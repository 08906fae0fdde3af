#include "log_line.h"

#include "vexa.h"

#include <cstdarg>
#include <cstdio>

namespace {

void send(log_buffer &line, int level, int flag, const char *format, va_list args) {
    std::vsnprintf(line.data(), line.size(), format, args);
    _vexa_log(level, line.data(), flag);
}

} // namespace

void log_gated(log_buffer &line, int level, int flag, const char *format, ...) {
    if (g_log_level > level) return;
    va_list args;
    va_start(args, format);
    send(line, level, flag, format, args);
    va_end(args);
}

void log_ungated(log_buffer &line, int level, int flag, const char *format, ...) {
    va_list args;
    va_start(args, format);
    send(line, level, flag, format, args);
    va_end(args);
}
