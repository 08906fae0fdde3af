// Replaying recordings: a trace of the simulated board is a recording, so runs on the ready scenarios
// are replayed, edited, departed from and refused here; recording itself needs real board files and
// is held against a real kernel by scripts/test_kernel.sh.
#include "runner_fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using boardsim_test::lines;
using testsupport::bin_path;
using testsupport::read_file;
using testsupport::write_file;

class replay : public boardsim_test::runner_fixture {
  protected:
    // PROGRAM names a program of the build.
    testsupport::run_result run(const lines &options, lines program) {
        program.front() = bin_path(program.front());
        return runner_fixture::run(options, program);
    }
    // The trace of PROGRAM on a ready scenario, to be used as a recording.
    std::string recorded(const std::string &scenario, const lines &program) {
        const std::string path = dir_.file("recording.txt");
        run({"--scenario", boardsim_test::scenario(scenario), "--trace", path}, program);
        return read_file(path);
    }
};

std::string replace(std::string text, const std::string &from, const std::string &to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST_F(replay, gives_the_recorded_run_again_with_the_same_output_status_and_trace) {
    struct run_case {
        std::string scenario;
        lines program;
        // What the recorded run gave: a replay that merely fails as the recording did proves nothing.
        int exit_code;
        std::string out;
        std::string err;
        std::string end; // the trace's last line
    };
    std::string all_silent_err;
    for (int chain = 0; chain < 8; ++chain)
        all_silent_err += "send command [reset] \nspi_poll_result fail.\n";
    for (const run_case &c :
         {run_case{"chain2_k6",
                   {"test_type_spi"},
                   0,
                   "K6\n",
                   "spi 0 not inserted.\nspi 1 not inserted.\nsend command [reset] \n",
                   "[   13.000000] end: still open: none; 206 board operations"},
          run_case{"all_silent",
                   {"test_type_spi"},
                   0,
                   "TYPE_ERR\n",
                   all_silent_err,
                   "[  112.000000] end: still open: none; 1664 board operations"},
          run_case{"watchdog_stop3",
                   {"watchdog", "-p", "2"},
                   143,
                   "",
                   "watchdog: Watchdog ping rate set to 2 seconds.\nwatchdog: Watchdog Ticking Away!\n",
                   "[    4.000000] end: still open: /dev/watchdog0; 4 board operations"},
          run_case{"no_boards",
                   {"watchdog", "-t", "30"},
                   0,
                   "",
                   "watchdog: Watchdog timeout set to 30 seconds.\n",
                   "[    0.000000] end: still open: none; 3 board operations"}}) {
        const std::string scenario = boardsim_test::scenario(c.scenario);
        const std::string first = dir_.file("first.txt");
        const std::string second = dir_.file("second.txt");
        const auto original = run({"--scenario", scenario, "--trace", first}, c.program);
        EXPECT_EQ(original.exit_code, c.exit_code) << c.scenario;
        EXPECT_EQ(original.out, c.out) << c.scenario;
        EXPECT_EQ(original.err, c.err) << c.scenario;
        const lines recorded = testsupport::split_lines(read_file(first));
        ASSERT_FALSE(recorded.empty()) << c.scenario;
        EXPECT_EQ(recorded.back(), c.end) << c.scenario;

        const auto again = run({"--replay", first, "--trace", second}, c.program);
        EXPECT_EQ(again.exit_code, c.exit_code) << c.scenario;
        EXPECT_EQ(again.out, c.out) << c.scenario;
        EXPECT_EQ(again.err, c.err) << c.scenario;
        EXPECT_EQ(read_file(second), read_file(first)) << c.scenario;
    }
}

TEST_F(replay, an_edited_recording_replays_to_the_edited_result) {
    const std::string k6 = recorded("chain2_k6", {"test_type_spi"});
    const auto r = run({"--replay", file("k8.txt", replace(k6, "[64 00]", "[34 00]"))}, {"test_type_spi"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K8\n");
}

TEST_F(replay, a_program_that_departs_is_stopped_where_it_departs) {
    const std::string timeout = recorded("no_boards", {"watchdog", "-t", "30"});
    const std::string ticker = recorded("watchdog_stop3", {"watchdog", "-p", "5"});
    const std::string ticking =
        "watchdog: Watchdog ping rate set to 4 seconds.\nwatchdog: Watchdog Ticking Away!\n";
    const std::string end =
        "[    0.000000] watchdog: running at the end: the board would reset at 30 s (last "
        "keep-alive at 0 s, timeout 30 s)\n"
        "[    0.000000] end: still open: none; 3 board operations\n";
    const std::string close = "[    0.000000] #3 close /dev/watchdog0 = 0\n";
    struct departure {
        std::string recording;
        lines program;
        std::string err;
    };
    const departure cases[] = {
        {timeout,
         {"watchdog", "-t", "20"},
         "boardsim: replay departs at operation #2: recorded \"ioctl /dev/watchdog0 WDIOC_SETTIMEOUT "
         "0xc0045706 30\", the program did \"ioctl /dev/watchdog0 WDIOC_SETTIMEOUT 0xc0045706 20\"\n"},
        {replace(timeout, end, "#4 open /dev/watchdog0 O_WRONLY = fd 3\n"),
         {"watchdog", "-t", "30"},
         "watchdog: Watchdog timeout set to 30 seconds.\n"
         "boardsim: replay departs at operation #4: recorded \"open /dev/watchdog0 O_WRONLY\", the program "
         "ended\n"},
        {replace(timeout, close + end, ""),
         {"watchdog", "-t", "30"},
         "watchdog: Watchdog timeout set to 30 seconds.\n"
         "boardsim: replay departs at operation #3: recorded nothing more, the program did \"close "
         "/dev/watchdog0\"\n"},
        {ticker,
         {"watchdog", "-p", "4"},
         ticking + "boardsim: replay departs at operation #3: recorded \"wait 5 s\", the program did \"wait "
                   "4 s\"\n"},
        {replace(ticker, "[    0.000000] wait 5 s\n", ""),
         {"watchdog", "-p", "5"},
         replace(ticking, "4 seconds", "5 seconds") + "boardsim: replay departs at operation #3: recorded "
                                                      "\"ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 "
                                                      "0\", the program did \"wait 5 s\"\n"},
    };
    for (const departure &c : cases) {
        const auto r = run({"--replay", file("departed.txt", c.recording)}, c.program);
        EXPECT_EQ(r.exit_code, 3) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(replay, what_cannot_be_replayed_or_recorded_is_refused_before_the_program_starts) {
    const std::string bad = dir_.file("bad.txt");
    struct refusal {
        std::string recording; // empty: no such file
        lines options;
        std::string err;
    };
    const refusal cases[] = {
        {"#1 open /dev/watchdog0 O_WRONLY = fd 3\n#2 ioctl /dev/watchdog0 WDIOC_SETTIMEOUT 0xc0045706 30 ->",
         {"--replay", bad},
         bad + ":2: expected the argument: BEFORE -> AFTER, or its value in hex\n"},
        {"[    0.000000] #1 read /dev/spidev0.0 ask 2 = 2 [64]\n",
         {"--replay", bad},
         bad + ":1: expected as many bytes read as the result\n"},
        {"wait 1 s\npoke /dev/spidev0.0\n",
         {"--replay", bad},
         bad + ":2: expected an operation (open, read, write, ioctl, close), wait, signal, a note of the "
               "board's or "
               "end:, got \"poke\"\n"},
        {"wait 1 s\n#2 chain 2: slot 1 raised 0.5 s after slot 2, the board needs 1 s\n",
         {"--replay", bad},
         bad + ":2: expected no operation number on a wait, a signal, a note, the reset or the end\n"},
        {"@2 end: still open: none; 0 board operations\n",
         {"--replay", bad},
         bad + ":1: expected no process number on a note, the reset or the end\n"},
        {"end: still open: none; 0 board operations\nwait 1 s\n",
         {"--replay", bad},
         bad + ":2: expected nothing after the end: line\n"},
        {"", {"--replay", bad}, bad + ": cannot be read: No such file or directory\n"},
        {"",
         {"--record", dir_.file("missing/recording.txt")},
         dir_.file("missing/recording.txt") + ": cannot be written: No such file or directory\n"},
    };
    for (const refusal &c : cases) {
        std::remove(bad.c_str());
        if (!c.recording.empty()) write_file(bad, c.recording);
        const auto r = run(c.options, {"test_type_spi"});
        EXPECT_EQ(r.exit_code, 2) << c.err;
        EXPECT_EQ(r.out, "") << "the program never ran: " << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

} // namespace

namespace {

// A recording of this machine, which has none of the board's files: each operation written with its
// number, its outcome and its time, to the last one; replayed, the same again.
TEST_F(replay, a_recording_of_this_machine_is_written_whole_and_replays) {
    if (::access("/dev/spidev0.0", F_OK) == 0 ||
        ::access("/sys/devices/soc0/amba/f8007000.devcfg", F_OK) == 0)
        GTEST_SKIP() << "this machine has board files of its own";
    const std::string recording = dir_.file("machine.rec");
    const auto r = run({"--record", recording}, {"test_type_spi"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    std::string expected;
    int n = 0;
    const std::string fclk = "/sys/devices/soc0/amba/f8007000.devcfg/";
    for (int round = 0; round < 8; ++round)
        for (const std::string file : {"fclk_export", "fclk/fclk1/set_rate"})
            expected +=
                "[    0.000000] #" + std::to_string(++n) + " open " + fclk + file + " O_WRONLY = -1 ENOENT\n";
    for (int bus = 0; bus < 8; ++bus)
        expected += "[    0.000000] #" + std::to_string(++n) + " open /dev/spidev" + std::to_string(bus) +
                    ".0 O_RDWR = -1 ENOENT\n";
    expected += "[    0.000000] end: still open: none; 24 board operations\n";
    EXPECT_EQ(read_file(recording), expected);

    const std::string again = dir_.file("again.txt");
    const auto replayed = run({"--replay", recording, "--trace", again}, {"test_type_spi"});
    EXPECT_EQ(replayed.exit_code, 0) << replayed.err;
    EXPECT_EQ(replayed.out, "TYPE_ERR\n");
    EXPECT_EQ(read_file(again), expected);

    // A wait is real when recording, and the clock moves by it.
    if (!testsupport::emulator().empty()) return; // the machine's own sleep is no ARM program
    const auto waited = runner_fixture::run({"--record", recording}, {"/bin/sleep", "0.001"});
    EXPECT_EQ(waited.exit_code, 0) << waited.err;
    EXPECT_EQ(read_file(recording),
              "[    0.000000] wait 0.001000 s\n[    0.001000] end: still open: none; 0 board operations\n");
}

} // namespace
