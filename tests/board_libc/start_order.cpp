// A board-side program with something to run at every stage of its start and its end. Each stage
// adds one word to standard output's buffer, and only the flush at exit writes them out (standard
// output is a pipe under test, so nothing is flushed earlier).
#include <cstdio>
#include <cstdlib>

namespace {

void say(const char *word) {
    std::printf("%s ", word);
}

void preinit(int /*argc*/, char ** /*argv*/, char ** /*envp*/) {
    say("preinit");
}
[[gnu::section(".preinit_array"), gnu::used]] void (*const preinit_entry)(int, char **, char **) = preinit;

// Initialisers are handed the program's arguments.
[[gnu::constructor]] void init(int argc, char **argv, char ** /*envp*/) {
    std::printf("init(%d %s) ", argc, argc > 1 ? argv[1] : "-");
}

struct with_lifetime {
    with_lifetime() { say("construct"); }
    ~with_lifetime() { say("destruct"); }
    with_lifetime(const with_lifetime &) = delete;
    with_lifetime &operator=(const with_lifetime &) = delete;
    with_lifetime(with_lifetime &&) = delete;
    with_lifetime &operator=(with_lifetime &&) = delete;
} object;

[[gnu::destructor]] void fini() {
    std::printf("fini\n");
}

} // namespace

int main() {
    say("main");
    std::atexit([] { say("atexit"); });
    return 7;
}
