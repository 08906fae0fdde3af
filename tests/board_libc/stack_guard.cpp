// Prints the guard that the program's start code gave its stack protector; given a text, also overruns
// a protected frame with it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" std::uintptr_t __stack_chk_guard;

namespace {

[[gnu::noinline]] void overrun(const char *text) {
    char frame[8];
    volatile char *p = frame; // out of the compiler's sight, so that only the guard can catch it
    const std::size_t n = std::strlen(text);
    for (std::size_t i = 0; i < 64; ++i)
        p[i] = text[i % n];
    std::puts(frame);
}

} // namespace

int main(int argc, char **argv) {
    std::printf("%08lx\n", static_cast<unsigned long>(__stack_chk_guard));
    std::fflush(stdout);
    if (argc > 1) overrun(argv[1]);
    return 0;
}
