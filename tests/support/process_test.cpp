// The programs a test starts die with the test: their whole process group, whatever they started in
// turn, once the test is done with them, when it gives up on them, and when the test itself ends.
#include "run.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Whether process pid still runs (a zombie that its new parent has yet to reap does not).
bool running(pid_t pid) {
    const std::string stat = testsupport::read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t state = stat.rfind(") ");
    return state != std::string::npos && stat[state + 2] != 'Z';
}

// Whether process pid is gone, given the moment that a signal sent to it takes to land: on a busy
// machine the killed process may wait seconds for a processor to die on.
bool gone(pid_t pid) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (running(pid)) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A shell (the build machine's, never emulated) that leaves a sleeper in the background, prints the
// sleeper's process and its own, then does `then`.
std::vector<std::string> shell_with_sleeper(const std::string &then) {
    return {"/bin/sh", "-c", "sleep 1000 & echo $! $$; " + then};
}

struct started {
    pid_t sleeper = 0;
    pid_t shell = 0;
};

started read_pids(int fd) {
    started s;
    const std::string line = testsupport::read_line(fd);
    s.sleeper = std::stoi(line);
    s.shell = std::stoi(line.substr(line.find(' ') + 1));
    return s;
}

TEST(ProgramGroup, EndsWithTheObjectAndAfterTheProgramsEnd) {
    struct end_case {
        const char *name;
        const char *then;
        bool wait_first; // wait() for the program's own end first
    };
    for (const end_case &c : {end_case{"object goes", "exec sleep 1000", false},
                              end_case{"program ended, its child lives on", "exit 3", true}}) {
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        started s;
        {
            testsupport::process program{shell_with_sleeper(c.then), {.out = out[1]}};
            ::close(out[1]);
            s = read_pids(out[0]);
            EXPECT_TRUE(running(s.sleeper)) << c.name;
            if (c.wait_first) {
                const int status = program.wait();
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << c.name << " " << status;
            }
        }
        ::close(out[0]);
        EXPECT_TRUE(gone(s.sleeper)) << c.name;
        EXPECT_TRUE(gone(s.shell)) << c.name;
    }
}

// The test process ended by a signal it can catch, or by SIGKILL: here a child of this test plays it.
TEST(ProgramGroup, DiesWithTheTest) {
    for (const int sig : {SIGTERM, SIGKILL}) {
        int out[2];
        int ready[2];
        ASSERT_EQ(::pipe(out), 0);
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        const pid_t test = ::fork();
        ASSERT_GE(test, 0);
        if (test == 0) {
            ::close(out[0]);
            ::close(ready[0]);
            testsupport::process program{shell_with_sleeper("exec sleep 1000"), {.out = out[1]}};
            ::close(out[1]);
            // The program is started, and its group known to the handler.
            if (::write(ready[1], "r", 1) != 1) ::_exit(1);
            ::pause(); // until the signal
            ::_exit(0);
        }
        ::close(out[1]);
        ::close(ready[1]);
        const started s = read_pids(out[0]);
        ::close(out[0]);
        char word = 0;
        ASSERT_EQ(::read(ready[0], &word, 1), 1);
        ::close(ready[0]);
        ASSERT_TRUE(running(s.shell));
        ::kill(test, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(test, &status, 0), test);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
        EXPECT_TRUE(gone(s.shell)) << sig;
        // The sleeper shares the program's group: a catchable signal ends it too. After SIGKILL it is
        // left to the one who killed the test (ctest ends every process under it).
        if (sig != SIGKILL) {
            EXPECT_TRUE(gone(s.sleeper)) << sig;
        } else {
            ::kill(s.sleeper, SIGKILL);
        }
    }
}

} // namespace
