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
    std::vector<std::string> env;  // extra NAME=value entries, on top of the test's own environment
    std::string stdin_text;        // written to the program's standard input, which is then closed
    int timeout_seconds = 60;      // a hung program is killed with SIGKILL after this long
};

// argv[0] is a path. When the build runs its programs under an emulator, it is put in front.
run_result run_program(const std::vector<std::string> &argv, const run_options &options = {});

// argv with the build's emulator in front (nothing in a native build), for a test that starts a
// program by other means than run_program. loader_env (LD_PRELOAD=... and the like) is handed to the
// emulated program alone. The simulated board's runner is also told to start its program emulated.
std::vector<std::string> with_emulator(const std::vector<std::string> &argv,
                                       const std::vector<std::string> &loader_env = {});

// build/bin/<name> and build/lib/<name> of the build under test.
std::string bin_path(const std::string &name);
std::string lib_path(const std::string &name);

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
