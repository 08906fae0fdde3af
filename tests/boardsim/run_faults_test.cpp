// The runner when things go wrong as they do on real machines: outputs that cannot be written (a full
// file system, a file-size limit, /dev/full), a library or program that would not be simulated, a runner
// killed outright, inputs without end, recordings that say what no run can do, option values that are
// no values, links that lead elsewhere, and signals from outside that a replay must give again.
#include "runner_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using boardsim_test::lines;
using testsupport::bin_path;
using testsupport::read_file;
namespace fs = std::filesystem;

class run_faults : public boardsim_test::runner_fixture {
  protected:
    // The folder's entries, with what each regular file holds and where each link leads.
    std::map<std::string, std::string> folder(const std::string &path) const {
        std::map<std::string, std::string> entries;
        for (const fs::directory_entry &e : fs::directory_iterator(path))
            entries[e.path().filename()] = e.is_symlink()        ? "-> " + fs::read_symlink(e.path()).string()
                                           : e.is_regular_file() ? read_file(e.path())
                                                                 : "(other)";
        return entries;
    }

    // An ELF file of 32-bit ARM or 64-bit x86, dynamically linked (with an interpreter) or not.
    std::string elf_file(const std::string &name, bool arm, bool dynamic) {
        std::string image;
        if (arm) {
            Elf32_Ehdr h{};
            std::memcpy(h.e_ident, ELFMAG, SELFMAG);
            h.e_ident[EI_CLASS] = ELFCLASS32;
            h.e_ident[EI_DATA] = ELFDATA2LSB;
            h.e_ident[EI_VERSION] = EV_CURRENT;
            h.e_type = ET_EXEC;
            h.e_machine = EM_ARM;
            h.e_version = EV_CURRENT;
            h.e_phoff = sizeof h;
            h.e_ehsize = sizeof h;
            h.e_phentsize = sizeof(Elf32_Phdr);
            h.e_phnum = dynamic ? 1 : 0;
            Elf32_Phdr interp{};
            interp.p_type = PT_INTERP;
            image.assign(reinterpret_cast<const char *>(&h), sizeof h);
            if (dynamic) image.append(reinterpret_cast<const char *>(&interp), sizeof interp);
        } else {
            Elf64_Ehdr h{};
            std::memcpy(h.e_ident, ELFMAG, SELFMAG);
            h.e_ident[EI_CLASS] = ELFCLASS64;
            h.e_ident[EI_DATA] = ELFDATA2LSB;
            h.e_ident[EI_VERSION] = EV_CURRENT;
            h.e_type = ET_EXEC;
            h.e_machine = EM_X86_64;
            h.e_version = EV_CURRENT;
            h.e_phoff = sizeof h;
            h.e_ehsize = sizeof h;
            h.e_phentsize = sizeof(Elf64_Phdr);
            h.e_phnum = dynamic ? 1 : 0;
            Elf64_Phdr interp{};
            interp.p_type = PT_INTERP;
            image.assign(reinterpret_cast<const char *>(&h), sizeof h);
            if (dynamic) image.append(reinterpret_cast<const char *>(&interp), sizeof interp);
        }
        std::string path = file(name, image);
        ::chmod(path.c_str(), 0755);
        return path;
    }
};

// Whatever the output and however its writes fail, the file keeps what it held, nothing is left
// beside it, one line says which file and why, and the run's status is 5 whatever the program's.
TEST_F(run_faults, a_failed_write_keeps_the_file_and_fails_the_run) {
    const std::string small = dir_.file("small");
    fs::create_directory(small);
    const std::string kept = small + "/kept";
    for (const char *option : {"--trace", "--vcd", "--record"}) {
        SCOPED_TRACE(option);
        const std::string printed = option == std::string{"--record"} ? "TYPE_ERR\n" : "K6\n";
        // A file-size limit: the runner lives on, the write fails.
        testsupport::write_file(kept, "an earlier run\n");
        lines limited_argv{"/usr/bin/prlimit", "--fsize=1024", "--"};
        for (const std::string &word : testsupport::with_emulator(
                 {bin_path("boardsim"), option, kept, "--", bin_path("test_type_spi")}))
            limited_argv.push_back(word);
        const auto limited = testsupport::run_program(limited_argv);
        EXPECT_EQ(limited.exit_code, 5) << limited.err;
        EXPECT_EQ(limited.out, printed);
        EXPECT_NE(limited.err.find("boardsim: " + kept + ": cannot be written: File too large\n"),
                  std::string::npos)
            << limited.err;
        EXPECT_EQ(folder(small), (std::map<std::string, std::string>{{"kept", "an earlier run\n"}}));

        // A full file system (a small one, mounted for the run alone, which the earlier file fills):
        // what is left there after the run.
        if (::geteuid() != 0) continue;
        const std::string mounted_run =
            "mount -t tmpfs -o size=4k none \"$0\" && printf 'an earlier run\\n' > \"$0/kept\" || exit 99; "
            "\"$@\"; status=$?; for f in \"$0\"/* \"$0\"/.[!.]*; do [ -e \"$f\" ] && echo \"left: ${f##*/}: "
            "$(cat \"$f\")\"; done; exit $status";
        lines full_argv{"/usr/bin/unshare", "-m", "sh", "-c", mounted_run, small};
        for (const std::string &word : testsupport::with_emulator(
                 {bin_path("boardsim"), option, kept, "--", bin_path("test_type_spi")}))
            full_argv.push_back(word);
        const auto full = testsupport::run_program(full_argv);
        if (full.exit_code == 99) continue; // no mount here
        EXPECT_EQ(full.exit_code, 5) << full.err;
        EXPECT_EQ(full.out, printed + "left: kept: an earlier run\n");
        EXPECT_NE(full.err.find("boardsim: " + kept + ": cannot be written: No space left on device\n"),
                  std::string::npos)
            << full.err;
    }
    // An output that is no file: written as the run goes, and refused all the same.
    const auto full = run({"--trace", "/dev/full"}, {bin_path("test_type_spi")});
    EXPECT_EQ(full.exit_code, 5);
    EXPECT_NE(full.err.find("boardsim: /dev/full: cannot be written: No space left on device\n"),
              std::string::npos)
        << full.err;
}

// What would not run on the simulated board does not run at all: one line says what is wrong and
// what to give instead, before any file is touched.
TEST_F(run_faults, a_program_runs_simulated_or_not_at_all) {
    const std::string kept = file("kept", "an earlier run\n");
    const std::string script = file("script", "echo hello\n");
    ::chmod(script.c_str(), 0755);
    const std::string private_program = file("private", "#!/bin/sh\n");
    ::chmod(private_program.c_str(), 0644);
    // A program of the other machine than the build's, and a static one of the build's own.
    const bool emulated = !testsupport::emulator().empty();
    const std::string foreign = elf_file("foreign_program", !emulated, true);
    const std::string foreign_kind = emulated ? "64-bit x86" : "32-bit ARM";
    const std::string own_kind = emulated ? "32-bit ARM" : "64-bit x86";
    const std::string static_program = elf_file("static_program", emulated, false);
    const std::string preload = testsupport::lib_path("libboardsim.so");
    struct refused {
        lines options;
        std::string program;
        int status;
        std::string line;
    };
    std::string mismatch = "boardsim: ";
    mismatch.append(foreign).append(" is a ").append(foreign_kind).append(" program and ").append(preload);
    mismatch.append(" a ").append(own_kind).append(" library: give --preload the libboardsim.so built for ");
    mismatch.append(foreign_kind);
    for (const refused &c : {
             refused{{"--preload", "/etc/passwd"},
                     bin_path("test_type_spi"),
                     2,
                     "boardsim: /etc/passwd is not the simulated board's preload library (it does not export "
                     "boardsim_preload_marker): give --preload the libboardsim.so of a build of the tools"},
             refused{
                 {"--preload", bin_path("watchdog")},
                 bin_path("test_type_spi"),
                 2,
                 "boardsim: " + bin_path("watchdog") +
                     " is not the simulated board's preload library (it does not export "
                     "boardsim_preload_marker): give --preload the libboardsim.so of a build of the tools"},
             refused{{}, foreign, 2, mismatch},
             refused{{"--emulator", "true"}, foreign, 2, mismatch},
             refused{
                 {},
                 static_program,
                 2,
                 "boardsim: " + static_program +
                     " is linked statically: the simulated board reaches only a program linked dynamically; "
                     "build it so"},
             refused{{}, script, 126, "boardsim: cannot run " + script + ": Exec format error"},
             refused{
                 {}, private_program, 126, "boardsim: cannot run " + private_program + ": Permission denied"},
             refused{{},
                     dir_.file("none"),
                     127,
                     "boardsim: cannot run " + dir_.file("none") + ": No such file or directory"},
             refused{{},
                     "no-such-program-anywhere",
                     127,
                     "boardsim: cannot run no-such-program-anywhere: No such file or directory"},
         }) {
        SCOPED_TRACE(c.program);
        lines options = c.options;
        options.insert(options.end(), {"--trace", kept});
        const auto r = run(options, {c.program});
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err, c.line + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_file(kept), "an earlier run\n");
    }
    // A program the run starts without the board's library: it is not started, and the run fails.
    if (testsupport::emulator().empty()) {
        const auto r = run({}, {"/usr/bin/env", "-u", "LD_PRELOAD", bin_path("test_type_spi")});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("boardsim: " + bin_path("test_type_spi") +
                             " would run off the simulated board: its environment has no LD_PRELOAD with the "
                             "simulated board's library; the run fails\n"),
                  std::string::npos)
            << r.err;
    }
}

// A process whose channel to the runner is not one, or is gone, does not run at all: on a board it
// would reach the real hardware.
TEST_F(run_faults, a_process_that_cannot_reach_the_runner_does_not_run) {
    struct channel {
        std::string value;
        int status;
        std::string line;
    };
    for (const channel &c : {
             channel{"abc", 2, "boardsim: BOARDSIM_CONTROL_FD: expected a descriptor, got abc"},
             channel{"-4", 2, "boardsim: BOARDSIM_CONTROL_FD: expected a descriptor, got -4"},
             channel{"3x", 2, "boardsim: BOARDSIM_CONTROL_FD: expected a descriptor, got 3x"},
             channel{
                 "250", 127,
                 "boardsim: this process cannot reach the simulated board's runner (its channel, descriptor "
                 "250, is gone); it does not run"},
         }) {
        SCOPED_TRACE(c.value);
        const std::vector<std::string> loader{"LD_PRELOAD=" + testsupport::lib_path("libboardsim.so"),
                                              "BOARDSIM_CONTROL_FD=" + c.value};
        // Under an emulator the loader's variables are the emulated program's alone.
        const bool native = testsupport::emulator().empty();
        const auto r = testsupport::run_program(
            testsupport::with_emulator({bin_path("test_type_spi")}, loader),
            {.env = native ? loader : std::vector<std::string>{}, .stdin_text = "", .timeout_seconds = 60});
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err, c.line + "\n");
        EXPECT_EQ(r.out, "");
    }
}

// Killed outright, the runner takes its program with it; the temporary it left is named for it and
// goes with the next run that writes the same file.
// The names of the processes of a group that still run (a zombie that no one reaps is gone).
lines running_in_group(pid_t group) {
    lines names;
    for (const fs::directory_entry &e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat;
        try {
            stat = read_file(e.path() / "stat");
        } catch (...) {
            continue;
        }
        // A process that ends meanwhile leaves no stat to read.
        const std::size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 > stat.size()) continue;
        std::istringstream fields{stat.substr(close + 2)};
        std::string state;
        long parent = 0;
        long pgrp = 0;
        fields >> state >> parent >> pgrp;
        if (pgrp == group && state != "Z") names.push_back(stat.substr(open + 1, close - open - 1));
    }
    return names;
}

// Whether WANTED holds of the group's running processes within 30 s.
bool group_comes_to(pid_t group, const std::function<bool(const lines &)> &wanted) {
    for (int i = 0; i < 3000; ++i) {
        if (wanted(running_in_group(group))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool group_ends(pid_t group) {
    return group_comes_to(group, [](const lines &names) { return names.empty(); });
}

// The runner killed outright and dead, but not yet reaped: its group is still its group, and what the
// test process's own end of it (wait) would kill is still there to be seen.
void kill_runner(const testsupport::process &runner) {
    ::kill(runner.pid(), SIGKILL);
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(runner.pid()), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
}

TEST_F(run_faults, nothing_outlives_a_killed_runner_and_its_leftovers_go_with_the_next_run) {
    const std::string ticking = file("endless.scn", "run time-limit 0\nrun operation-limit 0\n");
    const std::string trace = dir_.file("k.txt");
    testsupport::process runner{
        testsupport::with_emulator({bin_path("boardsim"), "--scenario", ticking, "--trace", trace, "--",
                                    bin_path("watchdog"), "-p", "1"})};
    auto leftovers = [&] {
        lines found;
        for (const fs::directory_entry &e : fs::directory_iterator(dir_.path()))
            if (e.path().filename().string().starts_with(".k.txt.boardsim-")) found.push_back(e.path());
        return found;
    };
    // The run writes beside the file under a name of its own, "which runner": its process number.
    for (int i = 0; i < 3000 && (leftovers().empty() || fs::file_size(leftovers().front()) < 4096); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(leftovers().size(), 1u);
    EXPECT_TRUE(fs::path(leftovers().front())
                    .filename()
                    .string()
                    .starts_with(".k.txt.boardsim-" + std::to_string(runner.pid()) + "-"));
    kill_runner(runner);
    // The program dies with it: nothing of the run's group runs on.
    EXPECT_TRUE(group_ends(runner.pid())) << "the program outlived its runner";
    runner.wait();
    ASSERT_EQ(leftovers().size(), 1u) << "a killed run's temporary stays until the next run";
    EXPECT_EQ(run({"--trace", trace}, {bin_path("watchdog"), "-t", "30"}).exit_code, 0);
    EXPECT_EQ(leftovers(), lines{});
    EXPECT_TRUE(read_file(trace).starts_with("[    0.000000] #1 open /dev/watchdog0"));

    // A program that a script started, waiting outside the board, ends with the script, which ends with
    // the runner.
    if (!testsupport::emulator().empty()) return; // the machine's own shell
    int input[2];
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    testsupport::process script{{bin_path("boardsim"), "--", "/bin/sh", "-c", "cat; true"}, {.in = input[0]}};
    ::close(input[0]);
    EXPECT_TRUE(group_comes_to(script.pid(), [](const lines &names) {
        return std::find(names.begin(), names.end(), "cat") != names.end();
    }));
    kill_runner(script);
    EXPECT_TRUE(group_ends(script.pid())) << "the script's program outlived the runner";
    script.wait();
    ::close(input[1]);
}

// An input without end or with NUL bytes is refused at once, with the line; an echo of it is cut.
TEST_F(run_faults, inputs_are_bounded_and_text) {
    struct bad_input {
        lines command;
        std::string line;
    };
    const std::string long_word(std::size_t{1024} * 1024, 'x');
    const std::string wide = file("wide.scn", "chain 0 type " + long_word + "\n");
    for (const bad_input &c : {
             bad_input{{"--check", "--scenario", "/dev/zero"}, "/dev/zero:1: expected text, got a NUL byte"},
             bad_input{{"--check", "--replay", "/dev/zero"}, "/dev/zero:1: expected text, got a NUL byte"},
             bad_input{
                 {"--check", "--scenario", file("nul.scn", std::string{"chain 0 type 6\n\nchain\0 1", 24})},
                 dir_.file("nul.scn") + ":3: expected text, got a NUL byte"},
             bad_input{{"--check", "--scenario", wide},
                       wide + ":1: expected a type code 0 to 15, got \"" + std::string(80, 'x') + "\"..."},
         }) {
        SCOPED_TRACE(c.line.substr(0, 60));
        lines argv{bin_path("boardsim")};
        argv.insert(argv.end(), c.command.begin(), c.command.end());
        const auto r = testsupport::run_program(argv);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, c.line + "\n");
    }
    std::string runner;
    for (const std::string &word : testsupport::emulator())
        runner += word + " ";
    // Text up to the bound is read whole; endless text is read up to the bound, then refused.
    struct long_input {
        std::string source;
        int status;
        std::string err;
    };
    for (const long_input &c : {
             long_input{"yes '# a comment' | head -c 67108864", 0, ""},
             long_input{"yes '# a comment'", 2,
                        "/dev/stdin: expected at most 64 MiB of scenario or recording, got more\n"},
         }) {
        SCOPED_TRACE(c.source);
        const auto r = testsupport::run_program(
            {"/bin/sh", "-c", c.source + " | " + runner + "\"$0\" --check --scenario /dev/stdin",
             bin_path("boardsim")});
        EXPECT_EQ(r.exit_code, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

// A recording says only what a run can do: stop and continue signals, and unknown ones, are refused by
// --check and by a replay alike.
TEST_F(run_faults, a_recording_names_only_signals_that_end_or_interrupt_a_run) {
    for (const char *name : {"SIGSTOP", "SIGTSTP", "SIGTTIN", "SIGTTOU", "SIGCONT", "SIGFOO", "SIGCHLD"}) {
        SCOPED_TRACE(name);
        const std::string recording = file(
            "r.rec",
            std::string{"[    0.000000] #1 open /dev/watchdog0 O_WRONLY = fd 3\n[    2.000000] signal "} +
                name + "\n");
        const std::string line =
            recording +
            ":2: expected a signal that ends or interrupts a run (SIGTERM, SIGINT, SIGHUP, "
            "SIGQUIT, SIGKILL, ...) after \"signal\", got \"" +
            name + "\"\n";
        EXPECT_EQ(run({"--check", "--replay", recording}, {}).err, line);
        const auto replayed = run({"--replay", recording}, {bin_path("watchdog"), "-p", "1"});
        EXPECT_EQ(replayed.exit_code, 2);
        EXPECT_EQ(replayed.err, line);
    }
}

// A program stopped from outside (here it stops itself) is continued: the runner never waits on it.
TEST_F(run_faults, a_stopped_program_is_continued_with_a_line) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell is no program of the board's";
    const auto r = testsupport::run_program(
        {bin_path("boardsim"), "--", "/bin/sh", "-c", "kill -STOP $$; echo continued"},
        {.env = {}, .stdin_text = {}, .timeout_seconds = 20});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "continued\n");
    EXPECT_EQ(r.err, "boardsim: the program was stopped (Stopped (signal)); the run goes on\n");
}

// An option's value is a value: not empty, not an option, not given twice.
TEST_F(run_faults, every_option_value_is_checked) {
    const std::string good = file("good.scn", "");
    struct bad_use {
        lines options;
        std::string line;
    };
    for (const bad_use &c : {
             bad_use{{"--record", ""}, "boardsim: --record needs a value (FILE), got an empty one"},
             bad_use{{"--scenario", ""}, "boardsim: --scenario needs a value (FILE), got an empty one"},
             bad_use{{"--trace", "--"}, "boardsim: --trace needs a value (FILE), got the option --"},
             bad_use{{"--vcd", "--timeline"},
                     "boardsim: --vcd needs a value (FILE), got the option --timeline"},
             bad_use{{"--fail-op", "-h"}, "boardsim: --fail-op needs a value (N), got the option -h"},
             bad_use{{"--scenario", good, "--scenario", good},
                     "boardsim: --scenario is given twice: give it once"},
             bad_use{{"--timeline", "--timeline"}, "boardsim: --timeline is given twice: give it once"},
             bad_use{{"--trace", dir_.file("t"), "--vcd", dir_.file("v"), "--trace", dir_.file("u")},
                     "boardsim: --trace is given twice: give it once"},
         }) {
        SCOPED_TRACE(c.line);
        lines argv{bin_path("boardsim")};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.insert(argv.end(), {"--", bin_path("test_type_spi")});
        const auto r = testsupport::run_program(argv);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, c.line + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(folder(dir_.path()).size(), 1u) << "nothing written";
    }
}

// An output that is a link is written where the link leads, dangling or not, and stays a link.
TEST_F(run_faults, links_are_followed_as_the_shell_follows_them) {
    fs::create_symlink("target.txt", dir_.file("link.txt"));
    const auto r = run({"--trace", dir_.file("link.txt")}, {bin_path("watchdog"), "-t", "30"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const auto entries = folder(dir_.path());
    EXPECT_EQ(entries.at("link.txt"), "-> target.txt");
    EXPECT_TRUE(entries.at("target.txt").starts_with("[    0.000000] #1 open /dev/watchdog0"))
        << entries.at("target.txt");
    EXPECT_EQ(entries.size(), 2u);
    // Two outputs that lead to one file are one file.
    fs::create_symlink(dir_.file("other.txt"), dir_.file("other_link"));
    const auto twice =
        run({"--trace", dir_.file("other_link"), "--vcd", dir_.file("other.txt")}, {bin_path("watchdog")});
    EXPECT_EQ(twice.exit_code, 2);
    EXPECT_EQ(twice.err, "boardsim: --trace " + dir_.file("other_link") + " and --vcd " +
                             dir_.file("other.txt") + " are the same file: give each its own\n");
}

// A signal from outside is written where it came; a replay gives it again there, and the program ends
// as it ended, with the same status and the same trace.
TEST_F(run_faults, a_signal_from_outside_is_replayed_where_it_came) {
    const std::string trace = dir_.file("interrupted");
    const auto r = run({"--trace", trace}, {testsupport::helper_path("boardsim_ticker"), "3"});
    EXPECT_EQ(r.exit_code, 130);
    const std::string recorded = read_file(trace);
    EXPECT_NE(recorded.find("[    2.000000] signal SIGINT\n"), std::string::npos) << recorded;
    const std::string again = dir_.file("again");
    const auto replayed = run({"--replay", trace, "--trace", again}, {bin_path("watchdog"), "-p", "1"});
    EXPECT_EQ(replayed.exit_code, 130) << replayed.err;
    EXPECT_EQ(read_file(again), recorded);
}

} // namespace
