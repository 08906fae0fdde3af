// The runner as the tests start it, the real one with its preload library: options, "--" and the
// program, with a folder of the test's own for the files of the run.
#pragma once

#include "run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace boardsim_test {

using lines = std::vector<std::string>;

// A ready scenario of the source tree, by its name.
inline std::string scenario(const std::string &name) {
    return std::string{BOARDSIM_SCENARIO_DIR} + "/" + name + ".scn";
}

class runner_fixture : public ::testing::Test {
  protected:
    testsupport::run_result run(const lines &options, const lines &program,
                                const testsupport::run_options &how = {}) {
        lines argv{testsupport::bin_path("boardsim")};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("--");
        argv.insert(argv.end(), program.begin(), program.end());
        return testsupport::run_program(argv, how);
    }
    // A file of the test's folder holding TEXT, by its path.
    std::string file(const std::string &name, const std::string &text) {
        testsupport::write_file(dir_.file(name), text);
        return dir_.file(name);
    }
    testsupport::temp_dir dir_;
};

} // namespace boardsim_test
