// How a board-side program starts and ends, on whatever C library it meets: every initialiser and
// finaliser runs exactly once, in order, main's status is the exit status, and standard output is
// flushed at exit.
#include "run.h"

#include <gtest/gtest.h>

TEST(ProgramStart, EveryStageRunsOnceAndOutputIsFlushedAtExit) {
    const testsupport::run_result r = testsupport::run_program({START_ORDER, "board"});
    EXPECT_EQ(r.out, "preinit init(2 board) construct main atexit destruct fini\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_code, 7);
}
