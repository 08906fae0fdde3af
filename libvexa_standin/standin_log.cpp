#include "standin_state.h"
#include "vexa.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

VEXA_EXPORT std::int32_t g_log_level = 0; // C linkage from vexa.h

namespace {

constexpr std::size_t tag_max = 31;
constexpr std::size_t text_max = 255;

std::array<char, tag_max + 1> log_tag{};

} // namespace

extern "C" VEXA_EXPORT int vexa_log_init(int level, const char *tag) {
    g_log_level = level;
    log_tag = {};
    if (tag != nullptr) std::snprintf(log_tag.data(), log_tag.size(), "%s", tag);
    return 0;
}

// Both forms write "<tag>: <text>" as one write to standard error, so that lines from several
// programs sharing a console never interleave; a line without its own newline gets one.
extern "C" VEXA_EXPORT int _vexa_log(int /*level*/, const char *text, int /*flag*/) {
    if (text == nullptr) return -1;
    std::array<char, tag_max + 2 + text_max + 2> out{};
    int len = std::snprintf(out.data(), out.size() - 1, "%s%s%.*s", log_tag.data(),
                            log_tag[0] != '\0' ? ": " : "", static_cast<int>(text_max), text);
    if (len < 0) return -1;
    if (static_cast<std::size_t>(len) > out.size() - 2) len = static_cast<int>(out.size() - 2);
    if (len == 0 || out[static_cast<std::size_t>(len) - 1] != '\n')
        out[static_cast<std::size_t>(len++)] = '\n';
    return ::write(STDERR_FILENO, out.data(), static_cast<std::size_t>(len)) == len ? 0 : -1;
}
