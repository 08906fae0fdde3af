// What `cmake --install` of this build leaves in a prefix: the board programs in bin, each finding
// the board's libvexa.so in /lib and nothing of the machine that built it.
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

std::set<std::string> names_in(const fs::path &dir) {
    std::set<std::string> names;
    if (fs::is_directory(dir))
        for (const auto &entry : fs::directory_iterator{dir})
            names.insert(entry.path().filename().string());
    return names;
}

TEST(InstallLayout, BinHoldsExactlyTheBoardPrograms) {
    ASSERT_FALSE(board_programs.empty());
    EXPECT_EQ(names_in(stage / "bin"), board_programs);
    // Nothing else goes to the prefix: no tests, no simulated board, no static libraries, no headers;
    // share holds the manual pages and the package's own files.
    std::set<std::string> top = names_in(stage);
    top.erase("bin");
    top.erase("share");
    if (INSTALLS_STANDIN) top.erase("lib");
    EXPECT_EQ(top, std::set<std::string>{});
    EXPECT_EQ(names_in(stage / "share"), (std::set<std::string>{"doc", "lintian", "man"}));
    EXPECT_EQ(names_in(stage / "share" / "doc" / "board-tools"), (std::set<std::string>{"changelog.gz", "copyright"}));
    std::set<std::string> pages;
    for (const std::string &p : board_programs) pages.insert(p + ".1.gz");
    pages.insert({"boardsim.1.gz", "status_server.1.gz"});
    EXPECT_EQ(names_in(stage / "share" / "man" / "man1"), pages);
}

TEST(InstallLayout, StandInLibraryOnlyWhenAsked) {
    const std::set<std::string> libs = names_in(stage / "lib");
    if (INSTALLS_STANDIN) {
        EXPECT_EQ(libs, std::set<std::string>{"libvexa.so"});
        EXPECT_EQ(dynamic_of(stage / "lib" / "libvexa.so").needed, std::vector<std::string>{"libc.so.6"});
    } else {
        EXPECT_EQ(libs, std::set<std::string>{});
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
