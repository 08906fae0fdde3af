#pragma once

// A fatal assertion that names the failed expression exactly as the board's tools always have
// ("ctx != ((void *)0)") and stays active in every build type: a missing context or buffer must
// stop the program on the board just as it does in a debug build.
extern "C" [[noreturn]] void __assert_fail(const char *assertion, const char *file, unsigned int line,
                                           const char *function) noexcept;

#define FATAL_ASSERT(cond, text)                                                                             \
    ((cond) ? static_cast<void>(0) : __assert_fail(text, __FILE__, __LINE__, __func__))
