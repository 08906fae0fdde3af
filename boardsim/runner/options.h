#pragma once

// The runner's command line: every option in one table, from which the options are read, refused and
// listed in the usage text (the manual page's synopsis is held to the same table by a test).
#include <string>
#include <vector>

namespace boardsim::run {

struct options {
    std::string scenario;
    std::string record;
    std::string replay;
    std::string trace;
    std::string vcd;
    bool timeline = false;
    std::string fail_op;
    std::string preload;
    std::string emulator;
    bool check = false;
    std::vector<std::string> program;
};

// The usage text, made from the table.
std::string usage();

// Reads the command line into `opt`. Returns -1 when the run goes on, else the status to exit with:
// 0 after --help or --version (printed), 2 after a refusal (one line on standard error).
int read_options(int argc, char **argv, options &opt);

} // namespace boardsim::run
