#include "vexa_double_run.h"

#include <filesystem>
#include <regex>
#include <utility>

namespace vexadouble {

std::vector<std::string> environment(const setup &s, const std::string &record_path) {
    std::vector<std::string> env{"LD_LIBRARY_PATH=" VEXA_DOUBLE_DIR, "VEXA_DOUBLE_RECORD=" + record_path};
    if (s.level) env.push_back("VEXA_DOUBLE_LEVEL=" + std::to_string(*s.level));
    if (s.level_at_init) env.push_back("VEXA_DOUBLE_LEVEL_AT_INIT=" + std::to_string(*s.level_at_init));
    if (s.type_bits) env.push_back("VEXA_DOUBLE_TYPE_BITS=" + std::to_string(*s.type_bits));
    if (!s.level_after.empty()) {
        std::string after;
        for (const auto &[call, level] : s.level_after) {
            if (!after.empty()) after += ',';
            after += std::to_string(call);
            after += '=';
            after += std::to_string(level);
        }
        env.push_back("VEXA_DOUBLE_LEVEL_AFTER=" + after);
    }
    return env;
}

std::vector<std::string> read_record(const std::string &record_path) {
    if (!std::filesystem::exists(record_path)) return {};
    return testsupport::split_lines(testsupport::read_file(record_path));
}

std::string log_call(int level, const std::string &text, int flag) {
    return "_vexa_log(" + std::to_string(level) + ", \"" + text + "\", " + std::to_string(flag) + ")";
}

outcome run(const std::vector<std::string> &argv, const setup &s, const std::vector<std::string> &extra_env) {
    testsupport::temp_dir dir;
    const std::string record_path = dir.file("calls");
    testsupport::run_options options;
    options.env = environment(s, record_path);
    options.env.insert(options.env.end(), extra_env.begin(), extra_env.end());
    outcome o;
    o.result = testsupport::run_program(argv, options);
    o.calls = read_record(record_path);
    return o;
}

} // namespace vexadouble

namespace vexadouble {

board_outcome run_on_board(const std::vector<std::string> &argv, const std::string &scenario, library lib,
                           const setup &s) {
    testsupport::temp_dir dir;
    const std::string record_path = dir.file("calls");
    testsupport::run_options options;
    options.env = lib == library::double_
                      ? environment(s, record_path)
                      : std::vector<std::string>{"LD_LIBRARY_PATH=" + testsupport::lib_path("")};
    testsupport::board_run run = testsupport::run_on_board(argv, scenario, options);
    board_outcome o;
    o.result = std::move(run.result);
    o.calls = read_record(record_path);
    // Descriptor numbers depend on what the test runner left open; the paths say which file it is.
    static const std::regex descriptor{" = fd [0-9]+$"};
    for (const std::string &line : run.trace)
        o.trace.push_back(std::regex_replace(line, descriptor, " = fd N"));
    return o;
}

} // namespace vexadouble
