// The runner's files: outputs that survive every way a run can end or be refused, one file never
// taken for two, inputs read once (pipes and process substitution too), and runs that end by
// themselves at the board's time and operation limits.
#include "runner_fixture.h"

// GCC 12 reports string concatenation with temporaries as an overlapping copy (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using boardsim_test::lines;
using boardsim_test::scenario;
using testsupport::bin_path;
using testsupport::read_file;
namespace fs = std::filesystem;

class run_files : public boardsim_test::runner_fixture {
  protected:
    // Every entry of the folder, with what it holds.
    std::map<std::string, std::string> folder() const {
        std::map<std::string, std::string> entries;
        for (const fs::directory_entry &e : fs::directory_iterator(dir_.path()))
            entries[e.path().filename()] = e.is_regular_file() ? read_file(e.path()) : "(not a file)";
        return entries;
    }
};

TEST_F(run_files, a_refused_run_or_a_program_that_cannot_start_leaves_every_file_as_it_was) {
    const std::string bad = file("bad.scn", "chain 9 type 6\n");
    const std::string missing = dir_.file("no_such_program");
    struct refused {
        lines options;
        lines program;
        int status;
    };
    for (const char *output : {"--trace", "--record", "--vcd"}) {
        const std::string kept = file("kept", "what an earlier run left\n");
        for (const refused &c :
             {refused{{output, kept}, {missing}, 127},
              refused{{output, kept, "--preload", dir_.file("none.so")}, {bin_path("test_type_spi")}, 2},
              refused{{output, kept, "--scenario", bad}, {bin_path("test_type_spi")}, 2}}) {
            SCOPED_TRACE(c.options[0] + " " + c.options[1] + " -- " + c.program[0]);
            const auto before = folder();
            EXPECT_EQ(run(c.options, c.program).exit_code, c.status);
            EXPECT_EQ(folder(), before) << "no file changed, none left behind";
        }
    }
}

TEST_F(run_files, a_finished_or_killed_run_puts_each_file_in_place_with_its_permissions) {
    const std::string trace = file("trace", "old\n");
    ::chmod(trace.c_str(), 0640);
    const std::string vcd = dir_.file("new.vcd");
    const auto r = run({"--scenario", scenario("watchdog_stop3"), "--trace", trace, "--vcd", vcd},
                       {bin_path("watchdog"), "-p", "1"});
    EXPECT_EQ(r.exit_code, 143);
    EXPECT_EQ(testsupport::split_lines(read_file(trace)).back(),
              "[    2.000000] end: still open: /dev/watchdog0; 4 board operations");
    EXPECT_TRUE(read_file(vcd).starts_with("$version boardsim $end\n")) << read_file(vcd).substr(0, 40);
    EXPECT_EQ(folder().size(), 3u) << "no temporary left behind: the trace, the waveform and its save file";

    struct stat64 st {};
    ASSERT_EQ(::stat64(trace.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the file keeps its permissions";
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ASSERT_EQ(::stat64(vcd.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask) << "a new file gets what creating it gives";

    // The trace on a stream is written as the run goes, beside the program's own output.
    const auto streamed = run({"--scenario", scenario("no_boards"), "--trace", "/dev/stderr"},
                              {bin_path("watchdog"), "-t", "30"});
    EXPECT_EQ(
        streamed.err,
        "[    0.000000] #1 open /dev/watchdog0 O_WRONLY = fd 3\n"
        "[    0.000000] #2 ioctl /dev/watchdog0 WDIOC_SETTIMEOUT 0xc0045706 30 -> 30 = 0\n"
        "watchdog: Watchdog timeout set to 30 seconds.\n"
        "[    0.000000] #3 close /dev/watchdog0 = 0\n"
        "[    0.000000] watchdog: running at the end: the board would reset at 30 s (last keep-alive at 0 s, "
        "timeout 30 s)\n"
        "[    0.000000] end: still open: none; 3 board operations\n");
}

TEST_F(run_files, ctrl_c_stops_the_program_and_the_runner_keeps_its_trace) {
    const std::string trace = file("trace", "old\n");
    const auto r = run({"--trace", trace}, {testsupport::helper_path("boardsim_ticker"), "3"});
    EXPECT_EQ(r.exit_code, 130);
    EXPECT_EQ(
        read_file(trace),
        "[    0.000000] #1 open /dev/watchdog0 O_WRONLY = fd 3\n"
        "[    0.000000] #2 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0\n"
        "[    0.000000] wait 1 s\n"
        "[    1.000000] #3 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0\n"
        "[    1.000000] wait 1 s\n"
        "[    2.000000] #4 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0\n"
        "[    2.000000] signal SIGINT\n"
        "[    2.000000] watchdog: running at the end: the board would reset at 62 s (last keep-alive at 2 s, "
        "timeout 60 s)\n"
        "[    2.000000] end: still open: /dev/watchdog0; 4 board operations\n");
    EXPECT_EQ(folder().size(), 1u) << "no temporary left behind";
}

TEST_F(run_files, one_file_by_any_path_is_never_both_an_input_and_an_output_or_two_outputs) {
    const std::string recording = file("keep.rec", read_file(scenario("chain2_k6")));
    const std::string relative = fs::relative(recording, fs::current_path());
    const std::string link = dir_.file("link");
    fs::create_symlink(recording, link);
    const std::string spi = bin_path("test_type_spi");
    const std::string new_file = relative.substr(0, relative.rfind('/') + 1) + "new";
    struct clash {
        lines options; // two options and their files
    };
    for (const clash &c : {
             clash{{"--replay", recording, "--trace", relative}},
             clash{{"--scenario", link, "--vcd", recording}},
             clash{{"--record", dir_.file("new"), "--trace", new_file}},
             clash{{"--trace", link, "--vcd", relative}},
             clash{{"the program", spi, "--trace", spi}},
         }) {
        const lines &o = c.options;
        const std::string err = "boardsim: " + o[0] + " " + o[1] + " and " + o[2] + " " + o[3];
        SCOPED_TRACE(err);
        const auto before = folder();
        const auto r = run(o[0] == "the program" ? lines{o[2], o[3]} : o, {spi});
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, err + " are the same file: give each its own\n");
        EXPECT_EQ(folder(), before);
    }
    // The terminal and /dev/null may take every output.
    EXPECT_EQ(run({"--trace", "/dev/null", "--vcd", "/dev/null"}, {spi}).out, "K6\n");
}

TEST_F(run_files, a_scenario_or_recording_from_a_pipe_is_read_once_and_serves_the_program) {
    const std::string k8 = "chain 0 type 3\n";
    const auto piped =
        run({"--scenario", "/dev/stdin"}, {bin_path("test_type_spi")}, {.env = {}, .stdin_text = k8});
    EXPECT_EQ(piped.exit_code, 0) << piped.err;
    EXPECT_EQ(piped.out, "K8\n");

    const std::string trace = dir_.file("k8.rec");
    ASSERT_EQ(run({"--scenario", file("k8.scn", k8), "--trace", trace}, {bin_path("test_type_spi")}).out,
              "K8\n");
    const auto replayed = run({"--replay", "/dev/stdin"}, {bin_path("test_type_spi")},
                              {.env = {}, .stdin_text = read_file(trace)});
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.out, "K8\n");

    // Process substitution: a pipe the runner inherits, named /dev/fd/N, as a shell's <(...) gives it.
    for (const char *option : {"--scenario", "--replay"}) {
        const std::string input = option == std::string{"--scenario"} ? k8 : read_file(trace);
        int pipe_fds[2];
        ASSERT_EQ(::pipe(pipe_fds), 0);
        ASSERT_EQ(::write(pipe_fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(pipe_fds[1]);
        const auto r = run({option, "/dev/fd/" + std::to_string(pipe_fds[0])}, {bin_path("test_type_spi")});
        ::close(pipe_fds[0]);
        EXPECT_EQ(r.exit_code, 0) << option << ": " << r.err;
        EXPECT_EQ(r.out, "K8\n") << option;
    }
}

// A script's programs share the run's one board: the second finds the lines the first exported and the
// chain it powered (it powers it again), one clock runs through both, each operation names its process,
// and the whole trace replays to itself.
TEST_F(run_files, the_programs_a_script_starts_share_one_board_and_its_trace_replays) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell cannot start ARM programs";
    const std::string trace = dir_.file("trace");
    const lines script{"/bin/sh", "-c", bin_path("test_type_spi") + " 2>/dev/null; " + bin_path("test_type")};
    const auto r = run({"--scenario", "/dev/stdin", "--trace", trace}, script,
                       {.env = {}, .stdin_text = "chain 0 type 3\n"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "K8\nK8\n");
    lines own;
    for (const std::string &line : testsupport::split_lines(read_file(trace)))
        if (line.find("] #") == std::string::npos && line.find(" wait ") == std::string::npos)
            own.push_back(line);
    EXPECT_EQ(
        own, (lines{"[    0.000000] process 2: " + bin_path("test_type_spi"), "[   13.000000] process 2 ends",
                    "[   13.000000] process 3: " + bin_path("test_type"), "[   26.000000] process 3 ends",
                    "[   26.000000] end: still open: none; 185 board operations"}));
    // The second program's export of a line the first exported is refused, as the kernel refuses it.
    EXPECT_NE(read_file(trace).find("#139 @3 write /sys/class/gpio/export \"872\" (3) = -1 EBUSY"),
              std::string::npos)
        << read_file(trace);

    const std::string again = dir_.file("again");
    const auto replayed = run({"--replay", trace, "--trace", again}, script);
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.out, "K8\nK8\n");
    EXPECT_EQ(read_file(again), read_file(trace));
}

// A shell's redirections copy descriptors (dup2, fcntl): the board follows the copies, so that a script's
// `echo 1 > value` reaches the board as the program's own write would, a program the script starts
// writes to the board file the script left open for it, and both replay.
TEST_F(run_files, a_script_drives_the_board_through_its_redirections) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell is no program of the board's";
    struct script_case {
        std::string script;
        std::string out;
        lines trace; // each line after its time stamp
    };
    const std::string v = "/sys/class/gpio/gpio900/value";
    for (const script_case &c : {
             script_case{
                 "echo 900 > /sys/class/gpio/export; echo out > /sys/class/gpio/gpio900/direction; "
                 "echo 1 > " +
                     v + "; read level < " + v + "; echo $level",
                 "1\n",
                 {"#1 open /sys/class/gpio/export O_WRONLY|O_CREAT|O_TRUNC = fd 3",
                  "#2 close /sys/class/gpio/export = 0", R"(#3 write /sys/class/gpio/export "900\n" (4) = 4)",
                  "#4 open /sys/class/gpio/gpio900/direction O_WRONLY|O_CREAT|O_TRUNC = fd 3",
                  "#5 close /sys/class/gpio/gpio900/direction = 0",
                  R"(#6 write /sys/class/gpio/gpio900/direction "out\n" (4) = 4)",
                  "#7 open " + v + " O_WRONLY|O_CREAT|O_TRUNC = fd 3", "#8 close " + v + " = 0",
                  "#9 write " + v + R"( "1\n" (2) = 2)", "#10 open " + v + " O_RDONLY = fd 3",
                  "#11 close " + v + " = 0", "#12 read " + v + R"( ask 1 = 1 "1")",
                  "#13 read " + v + R"( ask 1 = 1 "\n")", "end: still open: none; 13 board operations"}},
             script_case{"exec 4>/dev/watchdog0; sh -c 'echo V >&4'; exec 4>&-",
                         "",
                         {"#1 open /dev/watchdog0 O_WRONLY|O_CREAT|O_TRUNC = fd 3",
                          "#2 close /dev/watchdog0 = 0", "process 2: sh -c echo V >&4",
                          "#3 @2 write /dev/watchdog0 [56 0A] (2) = 2",
                          "process 2 ends: still open: /dev/watchdog0", "#4 close /dev/watchdog0 = 0",
                          "#5 close /dev/watchdog0 = 0", "end: still open: none; 5 board operations"}},
         }) {
        SCOPED_TRACE(c.script);
        const std::string trace = dir_.file("trace"), again = dir_.file("again");
        const lines script{"/bin/sh", "-c", c.script};
        const auto r = run({"--trace", trace}, script);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        std::string expected;
        for (const std::string &line : c.trace)
            expected += "[    0.000000] " + line + "\n";
        EXPECT_EQ(read_file(trace), expected);
        const auto replayed = run({"--replay", trace, "--trace", again}, script);
        EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
        EXPECT_EQ(read_file(again), expected);
    }
}

// Programs side by side on one board call it in whatever order the machine runs them; a replay serves
// them in the order recorded, whichever order they ask in this time. Only when each process ends is
// the machine's own to say.
TEST_F(run_files, programs_side_by_side_are_replayed_in_the_order_recorded) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell cannot start ARM programs";
    const lines script{"/bin/sh", "-c",
                       bin_path("test_type_spi") + " & " + bin_path("test_type_spi") + "; wait"};
    auto calls = [](const std::string &trace) {
        lines kept;
        for (const std::string &line : testsupport::split_lines(read_file(trace)))
            if (!line.ends_with(" ends") && line.find(" ends: ") == std::string::npos) kept.push_back(line);
        return kept;
    };
    for (int round = 0; round < 3; ++round) {
        const std::string trace = dir_.file("trace"), again = dir_.file("again");
        const auto r = run({"--trace", trace}, script);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const auto replayed = run({"--replay", trace, "--trace", again}, script);
        EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
        EXPECT_EQ(calls(again), calls(trace));
    }
}

// A replay holds a process's call that the recording has none for while others run: here the script
// kills its ticker once the probe is done, which the recording, cut after the ticker's third call, does
// not show as any board call would.
TEST_F(run_files, a_call_past_the_recording_waits_for_the_run_to_end_it) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell cannot start ARM programs";
    const lines script{"/bin/sh", "-c",
                       bin_path("watchdog") + " -p 1 & " + bin_path("test_type_spi") + "; kill $!"};
    const std::string trace = dir_.file("trace");
    std::string recording;
    // The ticker comes onto the board in the machine's own time: a run where it came late is tried again.
    for (int tries = 0; tries < 20 && recording.empty(); ++tries) {
        ASSERT_EQ(run({"--trace", trace}, script).exit_code, 0);
        std::string ticker;
        int calls = 0;
        std::string kept;
        for (const std::string &line : testsupport::split_lines(read_file(trace))) {
            if (const std::size_t at = line.find("] process ");
                at != std::string::npos && line.ends_with(" -p 1"))
                ticker = " @" + line.substr(at + 10, line.find(':', at) - at - 10) + " ";
            if (!ticker.empty() && line.find(ticker) != std::string::npos && ++calls > 3) continue;
            kept += line + "\n";
        }
        if (calls > 6) recording = kept;
    }
    ASSERT_FALSE(recording.empty()) << "the ticker never made seven calls in twenty runs";
    const auto replayed = run({"--replay", file("cut.txt", recording)}, script);
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.out, "K6\n");
}

TEST_F(run_files, a_run_that_would_go_on_forever_ends_at_the_board_limits) {
    const std::string trace = dir_.file("trace");
    auto at = [](int s) {
        return "[" + std::string(5 - std::to_string(s).size(), ' ') + std::to_string(s) + ".000000] ";
    };
    lines ticks{at(0) + "#1 open /dev/watchdog0 O_WRONLY = fd 3"};
    for (int n = 0; n <= 4; ++n) {
        ticks.push_back(at(5 * n) + "#" + std::to_string(n + 2) +
                        " ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0");
        if (n < 4) ticks.push_back(at(5 * n) + "wait 5 s");
    }
    struct bounded {
        std::string scenario;
        std::string err;
        lines trace_end;
    };
    const std::string started =
        "watchdog: Watchdog ping rate set to 5 seconds.\nwatchdog: Watchdog Ticking Away!\n";
    // The ticker leaves the board's watchdog running, a minute from its last keep-alive.
    auto running = [&at](int last) {
        return at(last) + "watchdog: running at the end: the board would reset at " +
               std::to_string(last + 60) + " s (last keep-alive at " + std::to_string(last) +
               " s, timeout 60 s)";
    };
    for (const bounded &c : {
             bounded{"run time-limit 20\n",
                     started +
                         "boardsim: the run reached its time limit of 20 s of board time and was stopped "
                         "(\"run time-limit\" in a scenario sets it)\n",
                     {at(20) + "signal SIGTERM at the time limit of 20 s of board time", running(20),
                      at(20) + "end: still open: /dev/watchdog0; 6 board operations"}},
             bounded{"run operation-limit 6\n",
                     started + "boardsim: the run reached its operation limit of 6 board operations and was "
                               "stopped (\"run operation-limit\" in a scenario sets it)\n",
                     {at(20) + "wait 5 s",
                      at(25) + "signal SIGTERM at the operation limit of 6 board operations", running(25),
                      at(25) + "end: still open: /dev/watchdog0; 6 board operations"}},
             // The board's defaults: an hour of board time.
             bounded{"",
                     started +
                         "boardsim: the run reached its time limit of 3600 s of board time and was stopped "
                         "(\"run time-limit\" in a scenario sets it)\n",
                     {at(3600) + "signal SIGTERM at the time limit of 3600 s of board time", running(3600),
                      at(3600) + "end: still open: /dev/watchdog0; 722 board operations"}},
             // The scenario's own stop comes first.
             bounded{"watchdog stop-after 2\nrun time-limit 20\n",
                     started,
                     {at(5) + "signal SIGTERM after keep-alive 2", running(5),
                      at(5) + "end: still open: /dev/watchdog0; 3 board operations"}},
         }) {
        SCOPED_TRACE(c.scenario);
        const auto r = run({"--scenario", file("board.scn", c.scenario), "--trace", trace},
                           {bin_path("watchdog"), "-p", "5"});
        EXPECT_EQ(r.exit_code, 143);
        EXPECT_EQ(r.err, c.err);
        lines got = testsupport::split_lines(read_file(trace));
        ASSERT_GE(got.size(), c.trace_end.size());
        const lines end(got.end() - static_cast<std::ptrdiff_t>(c.trace_end.size()), got.end());
        EXPECT_EQ(end, c.trace_end);
        if (c.scenario.starts_with("run")) {
            EXPECT_EQ(lines(got.begin(), got.begin() + 10), ticks);
        }
    }
}

} // namespace
