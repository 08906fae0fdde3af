// How a board-side program starts and ends, on whatever C library it meets: every initialiser and
// finaliser runs exactly once, in order, main's status is the exit status, and standard output is
// flushed at exit.
#include "run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>

TEST(ProgramStart, EveryStageRunsOnceAndOutputIsFlushedAtExit) {
    const testsupport::run_result r = testsupport::run_program({START_ORDER, "board"});
    EXPECT_EQ(r.out, "preinit init(2 board) construct main atexit destruct fini\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 7);
}

#ifdef STACK_GUARD
// The guard comes from the kernel's random bytes at every start, its lowest byte zero, and a frame
// overrun past it ends the program.
TEST(ProgramStart, TheStackProtectorGuardIsRandomAndGuards) {
    const testsupport::run_result first = testsupport::run_program({STACK_GUARD});
    const testsupport::run_result second = testsupport::run_program({STACK_GUARD});
    const std::regex guard{"[0-9a-f]{6}00\n"};
    EXPECT_TRUE(std::regex_match(first.out, guard)) << first.out;
    EXPECT_NE(first.out, "00000000\n");
    EXPECT_NE(first.out, second.out);

    const testsupport::run_result overrun = testsupport::run_program({STACK_GUARD, "overrun"});
    EXPECT_EQ(overrun.signal, SIGABRT);
    EXPECT_NE(overrun.err.find("stack smashing detected"), std::string::npos) << overrun.err;
}
#endif
