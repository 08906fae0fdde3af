// How the tests start programs in a cross build: the emulator goes in front of the build's own programs
// (not of the machine's tools), the loader's variables go to the emulated program alone, and the
// simulated board's runner is told to emulate its program.
#include "run.h"

#include <gtest/gtest.h>
#include <sstream>

namespace {

using argv_t = std::vector<std::string>;

argv_t emulator() {
    argv_t words;
    std::istringstream in{TEST_EMULATOR};
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

argv_t cat(argv_t a, const argv_t &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(WithEmulator, ProgramsRunUnderTheBuildsEmulator) {
    const std::string built = testsupport::bin_path("watchdog");
    const argv_t program{built, "-t", "30"};
    // The machine's own tools run as they are, in any build.
    const argv_t tool{"/bin/sh", "-c", "true"};
    EXPECT_EQ(testsupport::with_emulator(tool, {"LD_PRELOAD=/x/l.so"}), tool);
    if (emulator().empty()) {
        EXPECT_EQ(testsupport::with_emulator(program, {"LD_PRELOAD=/x/l.so"}), program);
        return;
    }
    EXPECT_EQ(testsupport::with_emulator(program), cat(emulator(), program));
    EXPECT_EQ(
        testsupport::with_emulator(program, {"LD_PRELOAD=/x/l.so", "LD_LIBRARY_PATH=/x/lib"}),
        cat(emulator(), {"-E", "LD_PRELOAD=/x/l.so", "-E", "LD_LIBRARY_PATH=/x/lib", built, "-t", "30"}));
}

TEST(WithEmulator, TheRunnerEmulatesItsProgramUnlessTold) {
    const std::string runner = testsupport::bin_path("boardsim");
    const argv_t plain{runner, "--scenario", "s.scn", "--", "/x/bin/prog", "--emulator"};
    if (emulator().empty()) {
        EXPECT_EQ(testsupport::with_emulator(plain), plain);
        return;
    }
    EXPECT_EQ(testsupport::with_emulator(plain),
              cat(emulator(), {runner, "--emulator", TEST_EMULATOR, "--scenario", "s.scn", "--",
                               "/x/bin/prog", "--emulator"}));
    const argv_t told{runner, "--emulator", "qemu-arm -strace", "--", "/x/bin/prog"};
    EXPECT_EQ(testsupport::with_emulator(told), cat(emulator(), told));
}

} // namespace
