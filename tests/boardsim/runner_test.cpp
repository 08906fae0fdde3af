// The runner end to end: the real probe program and the preload library, with the ready scenarios.
#include "runner_fixture.h"

// GCC 12 reports string concatenation with to_string as an overlapping copy (its bug 105329).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <gtest/gtest.h>

namespace {

using boardsim_test::lines;
using boardsim_test::scenario;
using testsupport::bin_path;
using testsupport::read_file;
using testsupport::run_program;
using testsupport::split_lines;

class runner : public boardsim_test::runner_fixture {
  protected:
    testsupport::run_result probe(const std::string &scenario_name) {
        lines options{"--trace", trace_path()};
        if (!scenario_name.empty()) options.insert(options.begin(), {"--scenario", scenario(scenario_name)});
        return run(options, {bin_path("test_type_spi")});
    }
    // In a cross build, the emulator that runs the build's programs, as the runner's --emulator text.
    static std::string build_emulator() {
        std::string text;
        for (const std::string &w : testsupport::emulator())
            text += (text.empty() ? "" : " ") + w;
        return text;
    }
    std::string trace_path() const { return dir_.file("trace.txt"); }
    lines trace() const { return split_lines(read_file(trace_path())); }
};

std::string at(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "[%5d.000000] ", static_cast<int>(seconds));
    return text;
}

// What the probe does to the board, line by line, for chains that are not inserted and for one that
// answers: built here from the wiring, apart from the program and the model.
struct trace_builder {
    lines out;
    int op = 0;
    int time = 0;

    void add(const std::string &text) { out.push_back(at(time) + "#" + std::to_string(++op) + " " + text); }
    void wait(int s) {
        out.push_back(at(time) + "wait " + std::to_string(s) + " s");
        time += s;
    }
    void file_write(const std::string &path, const std::string &shown, int n, int fd) {
        add("open " + path + " O_WRONLY = fd " + std::to_string(fd));
        add("write " + path + " " + shown + " (" + std::to_string(n) + ") = " + std::to_string(n));
        add("close " + path + " = 0");
    }
    void clock() {
        const std::string dir = "/sys/devices/soc0/amba/f8007000.devcfg/";
        for (int i = 0; i < 8; ++i) {
            file_write(dir + "fclk_export", "\"fclk1\"", 5, 3);
            file_write(dir + "fclk/fclk1/set_rate", "\"6400000\"", 7, 3);
            add("open " + dir + "fclk/fclk1/set_rate O_RDONLY = fd 3");
            add("read " + dir + "fclk/fclk1/set_rate ask 12 = 8 \"6400000\\n\"");
            add("close " + dir + "fclk/fclk1/set_rate = 0");
        }
    }
    void export_line(int line, bool input, int fd) {
        file_write("/sys/class/gpio/export", "\"" + std::to_string(line) + "\"", 3, fd);
        file_write("/sys/class/gpio/gpio" + std::to_string(line) + "/direction",
                   input ? "\"in\\0\"" : "\"out\\0\"", input ? 3 : 4, fd);
    }
    void set(int line, int level, int fd) {
        file_write("/sys/class/gpio/gpio" + std::to_string(line) + "/value",
                   "\"" + std::to_string(level) + "\\0\"", 2, fd);
    }
    // Port open and configured, lines exported, slot 0 low, insertion line read.
    void chain(int i, bool inserted) {
        const std::string port = "/dev/spidev" + std::to_string(i) + ".0";
        const int fd = 3 + i;
        add("open " + port + " O_RDWR = fd " + std::to_string(fd));
        for (const char *r :
             {"SPI_IOC_WR_MODE 0x40016b01 1 -> 1", "SPI_IOC_RD_MODE 0x80016b01 1 -> 1",
              "SPI_IOC_WR_BITS_PER_WORD 0x40016b03 8 -> 8", "SPI_IOC_RD_BITS_PER_WORD 0x80016b03 8 -> 8",
              "SPI_IOC_WR_MAX_SPEED_HZ 0x40046b04 1500000 -> 1500000",
              "SPI_IOC_RD_MAX_SPEED_HZ 0x80046b04 1500000 -> 1500000"})
            add("ioctl " + port + " " + r + " = 0");
        const int slot1 = i < 6 ? 854 + 2 * i : 890 + 2 * (i - 6);
        const int slot0 = 872 + i, slot2 = slot1 + 1, slot4 = 896 + i;
        export_line(slot0, false, fd + 1);
        export_line(slot1, false, fd + 1);
        export_line(slot2, false, fd + 1);
        export_line(slot4, true, fd + 1);
        set(slot0, 0, fd + 1);
        const std::string value = "/sys/class/gpio/gpio" + std::to_string(slot4) + "/value";
        add("open " + value + " O_RDONLY = fd " + std::to_string(fd + 1));
        add("read " + value + " ask 1 = 1 \"" + (inserted ? "0" : "1") + "\"");
        add("close " + value + " = 0");
        if (!inserted) return;
        wait(1);
        set(slot1, 0, fd + 1);
        set(slot2, 0, fd + 1);
        wait(5);
        set(slot0, 1, fd + 1);
        wait(5);
        set(slot2, 1, fd + 1);
        wait(1);
        set(slot1, 1, fd + 1);
        wait(1);
    }
};

TEST_F(runner, chain2_k6_prints_K6_and_leaves_the_whole_power_up_in_the_trace) {
    const testsupport::run_result r = probe("chain2_k6");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_EQ(r.err, "spi 0 not inserted.\nspi 1 not inserted.\nsend command [reset] \n");

    trace_builder t;
    t.clock();
    t.chain(0, false);
    t.chain(1, false);
    t.chain(2, true);
    t.add("write /dev/spidev2.0 [04 00] (2) = 2");
    t.add("write /dev/spidev2.0 [00 00] (2) = 2");
    t.add("read /dev/spidev2.0 ask 2 = 2 [64 00]");
    t.add("read /dev/spidev2.0 ask 2 = 2 [00 00]");
    t.add("read /dev/spidev2.0 ask 2 = 2 [00 00]");
    for (int i = 0; i < 3; ++i)
        t.add("close /dev/spidev" + std::to_string(i) + ".0 = 0");
    t.out.push_back(at(13) + "end: still open: none; " + std::to_string(t.op) + " board operations");
    EXPECT_EQ(trace(), t.out);
}

TEST_F(runner, no_boards_prints_TYPE_ERR_without_waiting) {
    const testsupport::run_result r = probe("no_boards");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += "spi " + std::to_string(i) + " not inserted.\n";
    EXPECT_EQ(r.err, expected);

    trace_builder t;
    t.clock();
    for (int i = 0; i < 8; ++i)
        t.chain(i, false);
    for (int i = 0; i < 8; ++i)
        t.add("close /dev/spidev" + std::to_string(i) + ".0 = 0");
    t.out.push_back(at(0) + "end: still open: none; " + std::to_string(t.op) + " board operations");
    EXPECT_EQ(trace(), t.out);
}

TEST_F(runner, all_silent_polls_every_chain_to_the_end_of_its_budget) {
    const testsupport::run_result r = probe("all_silent");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += "send command [reset] \nspi_poll_result fail.\n";
    EXPECT_EQ(r.err, expected);
    const lines t = trace();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(std::count_if(t.begin(), t.end(),
                            [](const std::string &l) { return l.ends_with("ask 2 = 2 [00 00]"); }),
              8 * 144);
    EXPECT_TRUE(t.back().starts_with(at(112) + "end: still open: none; ")) << t.back();
}

TEST_F(runner, ports_missing_fails_every_port_and_touches_no_line) {
    const testsupport::run_result r = probe("ports_missing");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    std::string expected;
    for (int i = 0; i < 8; ++i)
        expected += "spi " + std::to_string(i) + " init fail.\n";
    EXPECT_EQ(r.err, expected);
    const lines t = trace();
    ASSERT_EQ(t.size(), 72u + 8u + 1u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(t[72 + i], at(0) + "#" + std::to_string(73 + i) + " open /dev/spidev" + std::to_string(i) +
                                 ".0 O_RDWR = -1 ENOENT");
    EXPECT_EQ(t.back(), at(0) + "end: still open: none; 80 board operations");
}

TEST_F(runner, the_default_board_has_K6_chips_in_slot_0) {
    const testsupport::run_result r = probe("");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_EQ(r.err, "send command [reset] \n");
    EXPECT_TRUE(trace().back().starts_with(at(13) + "end: still open: none;"));
}

TEST_F(runner, an_injected_failure_shows_in_the_trace_and_the_program_carries_on) {
    const testsupport::run_result r =
        run({"--scenario", scenario("chain2_k6"), "--trace", trace_path(), "--fail-op", "1"},
            {bin_path("test_type_spi")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K6\n");
    const lines t = trace();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ(
        t[0],
        at(0) + "#1 open /sys/devices/soc0/amba/f8007000.devcfg/fclk_export O_WRONLY = -1 ENOENT (injected)");
    EXPECT_EQ(t[1],
              at(0) + "#2 open /sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate O_WRONLY = fd 3");
}

TEST_F(runner, a_malformed_scenario_is_refused_before_the_program_runs) {
    const std::string bad = dir_.file("bad.scn");
    testsupport::write_file(bad, "# a board\nchain 2 inserted yes\nchain 9 type 6\n");
    const testsupport::run_result r =
        run({"--scenario", bad, "--trace", trace_path()}, {bin_path("test_type_spi")});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, bad + ":3: expected a chain number 0 to 7, or *, got \"9\"\n");
    EXPECT_EQ(read_file(trace_path()), "") << "no trace: the program never ran";

    const testsupport::run_result check = run_program({bin_path("boardsim"), "--check", "--scenario", bad});
    EXPECT_EQ(check.exit_code, 2);
    EXPECT_EQ(check.err, r.err);
    EXPECT_EQ(run_program({bin_path("boardsim"), "--check", "--scenario", scenario("chain2_k6")}).exit_code,
              0);

    const testsupport::run_result missing =
        run({"--scenario", dir_.file("none.scn")}, {bin_path("test_type_spi")});
    EXPECT_EQ(missing.exit_code, 2);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, dir_.file("none.scn") + ": cannot be read: No such file or directory\n");
}

TEST_F(runner, under_an_emulator_only_the_emulated_program_gets_the_preload) {
    // Takes -E NAME=VALUE settings for the program the way qemu-arm does (in a cross build, by handing
    // them on to it), and says what it ran with itself.
    const std::string emulator = dir_.file("emulator.sh");
    const std::string emulated = build_emulator();
    testsupport::write_file(emulator,
                            "echo \"emulator preload: ${LD_PRELOAD:-none}\" >&2\n" +
                                (emulated.empty() ? "while [ \"$1\" = -E ]; do export \"$2\"; shift 2; done\n"
                                                    "exec \"$@\"\n"
                                                  : "exec " + emulated + " \"$@\"\n"));
    const testsupport::run_result r = run(
        {"--scenario", scenario("chain2_k6"), "--trace", trace_path(), "--emulator", "/bin/sh " + emulator},
        {bin_path("test_type_spi")});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_TRUE(r.err.starts_with("emulator preload: none\n")) << r.err;
    EXPECT_TRUE(trace().back().starts_with(at(13) + "end: still open: none;"));
}

TEST_F(runner, every_ready_scenario_is_well_formed) {
    for (const char *name : {"no_boards", "chain2_k6", "all_silent", "ports_missing", "watchdog_stop3"})
        EXPECT_EQ(run_program({bin_path("boardsim"), "--check", "--scenario", scenario(name)}).exit_code, 0)
            << name;
}

TEST_F(runner, bad_use_gives_the_usage_and_status_2_and_an_unknown_program_127) {
    const testsupport::run_result unknown = run_program({bin_path("boardsim"), "--colour", "--", "true"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_TRUE(unknown.err.starts_with("boardsim: unknown option --colour\nusage: boardsim "))
        << unknown.err;
    EXPECT_EQ(run_program({bin_path("boardsim")}).exit_code, 2);
    EXPECT_EQ(run_program({bin_path("boardsim"), "--fail-op", "x", "--", "true"}).exit_code, 2);
    const testsupport::run_result absent = run({}, {dir_.file("no_such_program")});
    EXPECT_EQ(absent.exit_code, 127);
    EXPECT_EQ(absent.err,
              "boardsim: cannot run " + dir_.file("no_such_program") + ": No such file or directory\n");
}

TEST_F(runner, the_program_exit_status_and_signals_come_back) {
    // In a cross build /bin/sh is the build machine's own, which the board's preload library cannot
    // reach: the runner refuses it (run_faults_test holds that).
    if (!build_emulator().empty()) GTEST_SKIP() << "the build machine's shell is no program of the board's";
    const lines options;
    EXPECT_EQ(run(options, {"/bin/sh", "-c", "exit 3"}).exit_code, 3);
    EXPECT_EQ(run(options, {"/bin/sh", "-c", "kill -TERM $$"}).exit_code, 143);
    EXPECT_EQ(run(options, {"/bin/sh", "-c", "kill -KILL $$"}).exit_code, 137);
    const testsupport::run_result echo =
        run(options, {"/bin/sh", "-c", "read line; echo \"got $line\"; echo err >&2"});
    EXPECT_EQ(echo.out, "got \n") << "standard input is the program's own";
    EXPECT_EQ(echo.err, "err\n");
}

TEST_F(runner, the_operator_stops_a_ticking_watchdog_and_the_trace_says_so) {
    const testsupport::run_result r = run({"--scenario", scenario("watchdog_stop3"), "--trace", trace_path()},
                                          {testsupport::helper_path("boardsim_ticker")});
    EXPECT_EQ(r.exit_code, 143);
    EXPECT_EQ(trace(),
              (lines{
                  at(0) + "#1 open /dev/watchdog0 O_WRONLY = fd 3",
                  at(0) + "#2 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
                  at(0) + "wait 1 s",
                  at(1) + "#3 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
                  at(1) + "wait 1 s",
                  at(2) + "#4 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
                  at(2) + "signal SIGTERM after keep-alive 3",
                  at(2) + "watchdog: running at the end: the board would reset at 62 s (last keep-alive at "
                          "2 s, timeout 60 s)",
                  at(2) + "end: still open: /dev/watchdog0; 4 board operations",
              }));
}

} // namespace

// The timeline, whole: a line's levels with their edges (one edge per column drawn its way, several as a
// bar, a line's first level no edge) on a time axis fitted to 80 columns. (The waveform test holds the
// probe's chart, with its ports, to chain2_k6.timeline.)
TEST_F(runner, the_timeline_draws_each_line_and_port_over_the_run) {
    struct chart_case {
        lines program;
        std::string chart;
    };
    for (const chart_case &c : {
             chart_case{{bin_path("vexa_test"), "1", "2", "1000", "3"},
                        "time (s)  0          0.5         1           1.5        2           2.5        3\n"
                        "gpio881   /" +
                            std::string(22, '=') + "\\" + std::string(22, '_') + "/" + std::string(22, '=') +
                            "\\\n"},
             chart_case{{bin_path("vexa_test"), "1", "2", "10", "140"},
                        "time (s)  0         0.2       0.4       0.6       0.8       1         1.2\n"
                        "gpio881   " +
                            std::string(70, '|') + "\n"},
         }) {
        SCOPED_TRACE(c.program.back());
        const auto r = run({"--timeline"}, c.program);
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const std::size_t chart = r.err.find("time (s)");
        ASSERT_NE(chart, std::string::npos) << r.err;
        EXPECT_EQ(r.err.substr(chart), c.chart);
    }
}

// The board's watchdog fires when no keep-alive comes in time, the run's programs one after the other
// on one board: the second ticker keeps the timeout the first set. The run ends there with status 4,
// one line says when and why, the trace and the timeline show it, and a replay ends the same way.
TEST_F(runner, the_watchdog_resets_the_board_when_starved) {
    if (!testsupport::emulator().empty())
        GTEST_SKIP() << "the build machine's shell cannot start ARM programs";
    const std::string wd = bin_path("watchdog");
    struct starved {
        std::string scenario;
        lines program;
        int status;
        std::string line; // standard error's last
        lines trace_end;
    };
    for (const starved &c : {
             starved{
                 "",
                 {"/bin/sh", "-c", wd + " -t 30; " + wd + " -p 40"},
                 4,
                 "boardsim: the watchdog reset the board at 30 s: last keep-alive at 0 s, timeout 30 s",
                 {at(0) + "@3 wait 40 s",
                  at(30) +
                      "reset /dev/watchdog0: the watchdog reset the board at 30 s: last keep-alive at 0 s, "
                      "timeout 30 s",
                  at(30) + "end: still open: /dev/watchdog0; 5 board operations"}},
             starved{
                 "",
                 {wd, "-p", "70"},
                 4,
                 "boardsim: the watchdog reset the board at 60 s: last keep-alive at 0 s, timeout 60 s",
                 {at(0) + "wait 70 s",
                  at(60) +
                      "reset /dev/watchdog0: the watchdog reset the board at 60 s: last keep-alive at 0 s, "
                      "timeout 60 s",
                  at(60) + "end: still open: /dev/watchdog0; 2 board operations"}},
             starved{
                 "watchdog fires no\nrun time-limit 100\n",
                 {wd, "-p", "70"},
                 143,
                 "boardsim: the run reached its time limit of 100 s of board time and was stopped (\"run "
                 "time-limit\" in a scenario sets it)",
                 {at(70) + "signal SIGTERM at the time limit of 100 s of board time",
                  at(70) +
                      "watchdog: running at the end; it does not reset this board (\"watchdog fires no\")",
                  at(70) + "end: still open: /dev/watchdog0; 3 board operations"}},
         }) {
        SCOPED_TRACE(c.program.back());
        const std::string board = file("board.scn", c.scenario);
        const auto r = run({"--scenario", board, "--trace", trace_path(), "--timeline"}, c.program);
        EXPECT_EQ(r.exit_code, c.status);
        const lines err = split_lines(r.err);
        const auto line = std::find(err.begin(), err.end(), c.line);
        EXPECT_NE(line, err.end()) << r.err;
        // The timeline marks each keep-alive, and an X where the board reset.
        EXPECT_EQ(
            std::any_of(err.begin(), err.end(),
                        [](const std::string &l) { return l.starts_with("watchdog") && l.ends_with("X"); }),
            c.status == 4)
            << r.err;
        const lines got = trace();
        ASSERT_GE(got.size(), c.trace_end.size());
        EXPECT_EQ(lines(got.end() - static_cast<std::ptrdiff_t>(c.trace_end.size()), got.end()), c.trace_end);

        const std::string again = dir_.file("again.txt");
        const auto replayed = run({"--replay", trace_path(), "--trace", again}, c.program);
        EXPECT_EQ(replayed.exit_code, c.status) << replayed.err;
        EXPECT_EQ(read_file(again), read_file(trace_path()));
    }
}
