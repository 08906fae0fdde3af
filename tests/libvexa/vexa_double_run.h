#pragma once

// Runs a real program against the recording double of libvexa.so and returns what it did.
#include "run.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexadouble {

struct setup {
    std::optional<int> level{};                     // g_log_level at load
    std::optional<int> level_at_init{};             // set inside vexa_log_init
    std::vector<std::pair<int, int>> level_after{}; // {N, V}: after the N-th library call, g_log_level = V
    std::optional<int> type_bits{};
};

struct outcome {
    testsupport::run_result result;
    std::vector<std::string> calls; // the double's record, one line per call
};

// The environment entries that load the double and configure it, recording into record_path.
std::vector<std::string> environment(const setup &s, const std::string &record_path);

// Runs argv (argv[0] a path) with the double; extra environment entries are added after the double's.
outcome run(const std::vector<std::string> &argv, const setup &s = {},
            const std::vector<std::string> &extra_env = {});

// The record left in a file by a run whose environment came from environment().
std::vector<std::string> read_record(const std::string &record_path);

// The record's line for a _vexa_log call, the text as the record shows it (a line feed as \n):
// _vexa_log(1, "Watchdog Ticking Away!", 1).
std::string log_call(int level, const std::string &text, int flag = 1);

} // namespace vexadouble

namespace vexadouble {

struct board_outcome {
    testsupport::run_result result; // the runner's: the program's status, 128 + N for signal N
    std::vector<std::string> calls; // the double's record (empty with the stand-in)
    std::vector<std::string>
        trace; // the simulated board's trace, with virtual times; "= fd N" for descriptors
};

enum class library { double_, standin };

// Runs argv under build/bin/boardsim with the scenario text (empty: the default board) and the
// library chosen: the recording double configured by s, or the stand-in of build/lib.
board_outcome run_on_board(const std::vector<std::string> &argv, const std::string &scenario, library lib,
                           const setup &s = {});

} // namespace vexadouble
