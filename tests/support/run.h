#pragma once

// Helpers for tests that start the real programs: run one to its end and collect what it wrote.
#include <string>
#include <vector>

namespace testsupport {

struct run_result {
    int exit_code = -1; // exit status, or -1 when the program ended by a signal
    int signal = 0;     // the signal that ended it, or 0
    std::string out;
    std::string err;
};

struct run_options {
    std::vector<std::string> env; // extra NAME=value entries, on top of the test's own environment
    std::string stdin_text;       // written to the program's standard input, which is then closed
    int timeout_seconds = 60;     // a hung program is killed with SIGKILL after this long
};

// argv[0] is a path. When the build runs its programs under an emulator, it is put in front of the
// build's own (see with_emulator).
run_result run_program(const std::vector<std::string> &argv, const run_options &options = {});

// A program that a test starts, in a process group of its own with whatever it starts in turn. The
// whole group dies with the test: it is ended when the object goes, and when the test process is
// ended by a signal that it can catch; the program itself gets SIGKILL when the test process dies by
// any other means (a parent-death signal). No emulator is put in front here (see with_emulator).
struct process_streams {
    int in = -1; // descriptors for the program's standard input, output and error; -1: the test's own
    int out = -1;
    int err = -1;
};
class process {
  public:
    // env: the whole environment, NAME=value each; empty: the test's own. Throws when the program
    // cannot be started, with the reason.
    explicit process(const std::vector<std::string> &argv, const process_streams &fds = {},
                     const std::vector<std::string> &env = {});
    ~process();
    process(const process &) = delete;
    process &operator=(const process &) = delete;

    // Waits for the program to end and returns its wait status; what is left of its group is ended.
    int wait();
    // Ends the whole group at once (SIGKILL); wait() then reaps the program.
    void kill_group() const;
    [[nodiscard]] int pid() const { return pid_; }

  private:
    int pid_ = -1;
};

// The emulator the build runs its programs under, word by word: empty in a native build.
std::vector<std::string> emulator();

// argv with the build's emulator in front when argv[0] is one of the build's own programs (nothing in a
// native build, nothing for the machine's tools), for a test that starts a program by other means than
// run_program. loader_env (LD_PRELOAD=... and the like) is handed to the emulated program alone. The
// simulated board's runner is also told to start its program emulated.
std::vector<std::string> with_emulator(const std::vector<std::string> &argv,
                                       const std::vector<std::string> &loader_env = {});

// A program's run on the simulated board: the runner's outcome (the program's own, 128 + N for its
// signal N) and the board's trace, line by line.
struct board_run {
    run_result result;
    std::vector<std::string> trace;
};

// Runs argv (argv[0] a path) under build/bin/boardsim on the board that scenario describes (empty: the
// default board).
board_run run_on_board(const std::vector<std::string> &argv, const std::string &scenario,
                       const run_options &options = {});

// One line that a program writes to fd, the reading end of a pipe, without its line feed: what came
// before the line feed, the end of the stream or timeout_ms of silence.
std::string read_line(int fd, int timeout_ms = 10000);

// build/bin/<name> and build/lib/<name> of the build under test; build/tests/<name>, a program that
// only the tests use (never beside the installed programs).
std::string bin_path(const std::string &name);
std::string lib_path(const std::string &name);
std::string helper_path(const std::string &name);

// A fresh directory, removed with its contents when the object goes.
class temp_dir {
  public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    [[nodiscard]] const std::string &path() const { return path_; }
    [[nodiscard]] std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &text);
std::string read_file(const std::string &path);
std::vector<std::string> split_lines(const std::string &text);

} // namespace testsupport
