// What `cmake --install` of this build leaves in a prefix: the board programs in bin, each finding
// the board's libvexa.so in /lib and nothing of the machine that built it, and the simulated board
// ready to run.
#include "elf_dynamic.h"
#include "run.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

const fs::path stage{INSTALL_STAGE_DIR};

std::set<std::string> split_list(const std::string &text) {
    std::set<std::string> items;
    std::istringstream in{text};
    for (std::string item; std::getline(in, item, ',');)
        if (!item.empty()) items.insert(item);
    return items;
}

const std::set<std::string> board_programs = split_list(BOARD_PROGRAMS);
const std::set<std::string> library_programs{"test_type", "vexa_test", "watchdog"};

elfcheck::dynamic_info dynamic_of(const fs::path &file) {
    std::string error;
    const auto info = elfcheck::read_dynamic(testsupport::read_file(file.string()), error);
    if (!info) ADD_FAILURE() << file << ": " << error;
    return info.value_or(elfcheck::dynamic_info{});
}

// Every file the install leaves, relative to the prefix.
std::set<std::string> installed_files() {
    std::set<std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator{stage})
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), stage).string());
    return files;
}

TEST(InstallLayout, TheBoardProgramsAndTheSimulatedBoardWithTheirPagesAndNothingElse) {
    ASSERT_FALSE(board_programs.empty());
    // No tests, no static libraries, no headers: the five programs, the simulated board (its runner,
    // the preload library where the runner looks for it, the scenarios), the status server stand-in,
    // the manual pages (the scenario format's in section 5) and the packages' own files.
    std::set<std::string> expected{"bin/boardsim",
                                   "bin/status_server",
                                   "lib/boardsim/libboardsim.so",
                                   "share/man/man1/boardsim.1.gz",
                                   "share/man/man1/status_server.1.gz",
                                   "share/man/man5/boardsim-scenario.5.gz"};
    for (const std::string &p : board_programs)
        expected.insert({"bin/" + p, "share/man/man1/" + p + ".1.gz"});
    for (const auto &entry : fs::directory_iterator{fs::path{SOURCE_DIR} / "boardsim" / "scenarios"})
        expected.insert("share/boardsim/scenarios/" + entry.path().filename().string());
    for (const char *package : {"board-tools", "boardsim"})
        expected.insert({std::string{"share/doc/"} + package + "/changelog.gz",
                         std::string{"share/doc/"} + package + "/copyright"});
    // The recorder built for a board has no maintainer scripts for its overrides to answer.
    expected.insert("share/lintian/overrides/board-tools");
    if (!CROSS_BUILD) expected.insert({"share/lintian/overrides/boardsim", "lib/boardsim/libvexa.so"});
    if (INSTALLS_STANDIN) expected.insert("lib/libvexa.so");
    EXPECT_EQ(installed_files(), expected);
    if (INSTALLS_STANDIN) {
        EXPECT_EQ(dynamic_of(stage / "lib" / "libvexa.so").needed, std::vector<std::string>{"libc.so.6"});
    }
}

// Installed, the runner finds its preload library and runs a shipped scenario by its installed path.
TEST(InstallLayout, TheInstalledRunnerRunsAShippedScenario) {
    std::vector<std::string> argv{(stage / "bin" / "boardsim").string()};
    if (!testsupport::emulator().empty()) {
        std::string words;
        for (const std::string &w : testsupport::emulator())
            words += (words.empty() ? "" : " ") + w;
        argv.insert(argv.end(), {"--emulator", words});
    }
    argv.insert(argv.end(),
                {"--scenario", (stage / "share" / "boardsim" / "scenarios" / "chain2_k6.scn").string(), "--",
                 (stage / "bin" / "test_type_spi").string()});
    const testsupport::run_result r = testsupport::run_program(argv);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_EQ(r.err, "spi 0 not inserted.\nspi 1 not inserted.\nsend command [reset] \n");
}

// Installed, all five programs run on the simulated board by their installed paths: the three that link
// the board's library find the stand-in that the simulated board carries, through the runner alone.
TEST(InstallLayout, AllFiveProgramsRunOnTheInstalledSimulatedBoard) {
    if (CROSS_BUILD) GTEST_SKIP() << "a board build carries no stand-in: the board has its own library";
    const fs::path scenarios = stage / "share" / "boardsim" / "scenarios";
    struct program_run {
        std::vector<std::string> argv;
        std::string scenario;
        int status;
        std::string out;
    };
    for (const program_run &p : {
             program_run{{"test_type_spi"}, "chain2_k6.scn", 0, "K6\n"},
             program_run{{"test_type"}, "chain2_k6.scn", 0, "K6\n"},
             program_run{{"vexa_test", "1", "2", "300", "2"}, "no_boards.scn", 0, ""},
             program_run{{"watchdog", "-p", "1"}, "watchdog_stop3.scn", 143, ""},
             program_run{{"api_query", "summary", "127.0.0.1", "1"},
                         "no_boards.scn",
                         1,
                         "Socket connect failed: Connection refused\n"},
         }) {
        SCOPED_TRACE(p.argv.front());
        std::vector<std::string> argv{(stage / "bin" / "boardsim").string(), "--scenario",
                                      (scenarios / p.scenario).string(), "--",
                                      (stage / "bin" / p.argv.front()).string()};
        argv.insert(argv.end(), p.argv.begin() + 1, p.argv.end());
        const testsupport::run_result r = testsupport::run_program(
            argv, {.env = {"LD_LIBRARY_PATH="}, .stdin_text = "", .timeout_seconds = 60});
        EXPECT_EQ(r.exit_code, p.status) << r.err;
        EXPECT_EQ(r.out, p.out);
    }
}

// The three library programs look for libvexa.so in /lib and only there (DT_RUNPATH, so that the
// board's LD_LIBRARY_PATH still wins); the two others carry no search path at all.
TEST(InstallLayout, RunPathIsExactlySlashLibForTheLibraryPrograms) {
    for (const std::string &name : board_programs) {
        SCOPED_TRACE(name);
        const auto info = dynamic_of(stage / "bin" / name);
        EXPECT_EQ(info.rpath, std::nullopt);
        if (library_programs.contains(name)) {
            EXPECT_EQ(info.runpath, std::optional<std::string>{"/lib"});
        } else {
            EXPECT_EQ(info.runpath, std::nullopt);
        }
    }
}

// A sanitizer runtime brings its own needs and names its sources: these two hold for real builds only.
constexpr bool sanitized_build = SANITIZED_BUILD != 0;
constexpr const char *sanitized_reason = "a sanitizer build's programs carry the sanitizer runtime";

TEST(InstallLayout, ProgramsNeedTheCLibraryAndLibvexaOnly) {
    if (sanitized_build) GTEST_SKIP() << sanitized_reason;
    for (const std::string &name : board_programs) {
        SCOPED_TRACE(name);
        const auto info = dynamic_of(stage / "bin" / name);
        EXPECT_EQ(info.is_32bit_arm, CROSS_BUILD != 0);
        std::vector<std::string> needed = info.needed;
        std::sort(needed.begin(), needed.end());
        if (library_programs.contains(name)) {
            EXPECT_EQ(needed, (std::vector<std::string>{"libc.so.6", "libvexa.so"}));
        } else {
            EXPECT_EQ(needed, std::vector<std::string>{"libc.so.6"});
        }
    }
}

// Neither a search path, nor an assertion's file name, nor debug info may name the build machine's
// folders: the programs must behave the same whoever built them.
TEST(InstallLayout, NoInstalledFileNamesTheBuildMachinesFolders) {
    if (sanitized_build) GTEST_SKIP() << sanitized_reason;
    std::size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator{stage}) {
        if (!entry.is_regular_file()) continue;
        ++files;
        const std::string image = testsupport::read_file(entry.path().string());
        EXPECT_EQ(image.find(SOURCE_DIR), std::string::npos) << entry.path() << " names " << SOURCE_DIR;
        EXPECT_EQ(image.find(BINARY_DIR), std::string::npos) << entry.path() << " names " << BINARY_DIR;
    }
    EXPECT_GE(files, board_programs.size());
}

} // namespace
