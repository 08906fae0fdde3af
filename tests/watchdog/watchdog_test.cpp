#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using vexadouble::library;
using vexadouble::log_call;

const std::string usage_text =
    "-t <n> to set the timeout,\n-p <n> to set the ping rate, and \nrun by itself to tick the card.\n";
const std::string log_init = "vexa_log_init(0, \"watchdog\")";
const std::string opened = "[    0.000000] #1 open /dev/watchdog0 O_WRONLY = fd N";
const std::string ticking = log_call(1, "Watchdog Ticking Away!");

// The watchdog never runs anywhere but on the simulated board.
vexadouble::board_outcome run_watchdog(lines args, const std::string &scenario,
                                       const vexadouble::setup &s = {}) {
    args.insert(args.begin(), testsupport::bin_path("watchdog"));
    auto o = vexadouble::run_on_board(args, scenario, library::double_, s);
    EXPECT_EQ(o.result.out, "");
    return o;
}

std::string timeout_set(int seconds) {
    return log_call(1, "Watchdog timeout set to " + std::to_string(seconds) + " seconds.\\n");
}

std::string timeout_refused(int seconds, const std::string &reason) {
    return log_call(5, "Watchdog timeout can't be set to " + std::to_string(seconds) + " seconds: " + reason +
                           ".");
}

// The driver's timeout when none was set.
constexpr int driver_timeout = 60;

// The board's watchdog runs on once the program is done (it never stops it): the trace's last note.
std::string still_running(const std::string &at, int last_keepalive, int timeout) {
    return at + "watchdog: running at the end: the board would reset at " +
           std::to_string(last_keepalive + timeout) + " s (last keep-alive at " +
           std::to_string(last_keepalive) + " s, timeout " + std::to_string(timeout) + " s)";
}

lines timeout_trace(int requested, int in_effect, const std::string &result = "0") {
    return {
        opened,
        "[    0.000000] #2 ioctl /dev/watchdog0 WDIOC_SETTIMEOUT 0xc0045706 " + std::to_string(requested) +
            " -> " + std::to_string(in_effect) + " = " + result,
        "[    0.000000] #3 close /dev/watchdog0 = 0",
        still_running("[    0.000000] ", 0, result == "0" ? in_effect : driver_timeout),
        "[    0.000000] end: still open: none; 3 board operations",
    };
}

TEST(WatchdogTimeout, OptionMatchesOnTwoCharactersIgnoringCase) {
    const lines argument_lists[] = {
        {"-t", "30"}, {"-T", "30"}, {"-timeout", "30"}, {"-tx", "30"}, {"-t", "30", "-p", "5"}};
    for (const lines &args : argument_lists) {
        const auto o = run_watchdog(args, "");
        EXPECT_EQ(o.result.exit_code, 0) << args[0];
        EXPECT_EQ(o.result.err, "") << args[0];
        EXPECT_EQ(o.trace, timeout_trace(30, 30)) << args[0];
        EXPECT_EQ(o.calls, (lines{log_init, timeout_set(30)})) << args[0];
    }
}

// The line reports what the driver left in the variable, not what was asked for.
TEST(WatchdogTimeout, LogsTheTimeoutTheDriverWroteBack) {
    const auto o = run_watchdog({"-t", "30"}, "watchdog timeout-readback 60\n");
    EXPECT_EQ(o.result.exit_code, 0);
    EXPECT_EQ(o.trace, timeout_trace(30, 60));
    EXPECT_EQ(o.calls, (lines{log_init, timeout_set(60)}));
}

TEST(WatchdogTimeout, ValueConvertsAsStrtol) {
    struct conversion {
        std::string text;
        int value;
        bool taken; // a Linux watchdog refuses more than UINT_MAX / 1000 seconds
    };
    for (const conversion &c :
         {conversion{"", 0, true}, conversion{"abc", 0, true}, conversion{" 45s", 45, true},
          conversion{"-5", -5, false}, conversion{"99999999999", 2147483647, false}}) {
        const auto o = run_watchdog({"-t", c.text}, "");
        EXPECT_EQ(o.result.exit_code, 0) << c.text;
        EXPECT_EQ(o.trace, timeout_trace(c.value, c.value, c.taken ? "0" : "-1 EINVAL")) << c.text;
        EXPECT_EQ(o.calls, (lines{log_init, c.taken ? timeout_set(c.value)
                                                    : timeout_refused(c.value, "Invalid argument")}))
            << c.text;
    }
}

// A refused timeout leaves the driver's old one in effect; the line says so whatever the threshold,
// and the run ends as a taken one does: status 0, the device closed, nothing else asked of it.
TEST(WatchdogTimeout, RefusedTimeoutIsReportedAsRefused) {
    struct request {
        int seconds;
        bool taken;
    };
    for (const int level : {0, 9}) {
        for (const request &r : {request{1, true}, request{60, true}, request{0, false}, request{61, false},
                                 request{90, false}}) {
            const std::string context =
                "-t " + std::to_string(r.seconds) + ", threshold " + std::to_string(level);
            const auto o = run_watchdog({"-t", std::to_string(r.seconds)}, "watchdog timeout-range 1 60\n",
                                        {.level_at_init = level});
            EXPECT_EQ(o.result.exit_code, 0) << context;
            EXPECT_EQ(o.result.err, "") << context;
            EXPECT_EQ(o.trace, timeout_trace(r.seconds, r.seconds, r.taken ? "0" : "-1 EINVAL")) << context;
            lines expected{log_init};
            if (!r.taken) expected.push_back(timeout_refused(r.seconds, "Invalid argument"));
            if (r.taken && level <= 1) expected.push_back(timeout_set(r.seconds));
            EXPECT_EQ(o.calls, expected) << context;
        }
    }
}

TEST(WatchdogTimeout, ClosedGateLogsNothing) {
    for (const int level : {2, 9}) {
        const auto o = run_watchdog({"-t", "30"}, "", {.level_at_init = level});
        EXPECT_EQ(o.trace, timeout_trace(30, 30));
        EXPECT_EQ(o.calls, lines{log_init});
    }
}

// Usage text, device closed, status 0: no request ever reaches the driver. A negative period would
// make sleep() wait about 136 years between keep-alives, so it is refused the same way.
TEST(WatchdogUsage, WrongOrIncompleteCommandLinesGiveTheUsageText) {
    const lines argument_lists[] = {{"-t"}, {"-p"}, {"-x"},       {"tick"},     {"-t60"},
                                    {"-"},  {""},   {"-p", "-5"}, {"-P", "-1"}, {"-x", "30"}};
    const lines closed_again{
        opened,
        "[    0.000000] #2 close /dev/watchdog0 = 0",
        still_running("[    0.000000] ", 0, driver_timeout),
        "[    0.000000] end: still open: none; 2 board operations",
    };
    for (const lines &args : argument_lists) {
        const auto o = run_watchdog(args, "");
        EXPECT_EQ(o.result.exit_code, 0) << args[0];
        EXPECT_EQ(o.result.err, usage_text) << args[0];
        EXPECT_EQ(o.trace, closed_again) << args[0];
        EXPECT_EQ(o.calls, lines{log_init}) << args[0];
    }
}

// The device is opened before the arguments are looked at; its failure line is sent whatever the
// threshold, and no usage text follows even for a wrong command line.
TEST(WatchdogDevice, UnavailableDeviceGivesOneUngatedLevelFiveLine) {
    struct board {
        std::string scenario;
        std::string error;
    };
    const lines argument_lists[] = {{}, {"-t", "30"}, {"-p", "5"}, {"-x"}, {"-t"}};
    for (const board &b : {board{"watchdog present no\n", "ENOENT"}, board{"watchdog busy yes\n", "EBUSY"}}) {
        for (const lines &args : argument_lists) {
            const auto o = run_watchdog(args, b.scenario, {.level = 9, .level_at_init = 9});
            EXPECT_EQ(o.result.exit_code, 0) << b.error;
            EXPECT_EQ(o.result.err, "") << b.error;
            EXPECT_EQ(o.trace, (lines{"[    0.000000] #1 open /dev/watchdog0 O_WRONLY = -1 " + b.error,
                                      "[    0.000000] end: still open: none; 1 board operations"}))
                << b.error;
            EXPECT_EQ(o.calls,
                      (lines{log_init, log_call(5, "/dev/watchdog0 watchdog device can't be enabled.")}))
                << b.error;
        }
    }
}

// The operator ends a ticking run with SIGTERM (here at the third keep-alive); the runner reports 143.
// Every keep-alive carries 0, the device stays open and is never written to.
lines ticking_trace(int period) {
    const std::string wait = "wait " + std::to_string(period) + " s";
    const auto at = [](int seconds) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%5d.000000] ", seconds);
        return std::string{stamp};
    };
    return {
        opened,
        at(0) + "#2 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
        at(0) + wait,
        at(period) + "#3 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
        at(period) + wait,
        at(2 * period) + "#4 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
        at(2 * period) + "signal SIGTERM after keep-alive 3",
        still_running(at(2 * period), 2 * period, driver_timeout),
        at(2 * period) + "end: still open: /dev/watchdog0; 4 board operations",
    };
}

const std::string stop_at_third = "watchdog stop-after 3\n";

TEST(WatchdogTicking, WithoutArgumentsKeepAlivesFollowWithoutPause) {
    const auto o = run_watchdog({}, stop_at_third);
    EXPECT_EQ(o.result.exit_code, 143);
    EXPECT_EQ(o.result.err, "");
    EXPECT_EQ(o.trace, ticking_trace(0));
    EXPECT_EQ(o.calls, (lines{log_init, ticking}));
}

TEST(WatchdogTicking, PeriodOptionSetsTheSleepBetweenKeepAlives) {
    const lines argument_lists[] = {{"-p", "5"}, {"-ping", "5"}, {"-P", "5", "-t", "30"}};
    for (const lines &args : argument_lists) {
        const auto o = run_watchdog(args, stop_at_third);
        EXPECT_EQ(o.result.exit_code, 143) << args[0];
        EXPECT_EQ(o.trace, ticking_trace(5)) << args[0];
        EXPECT_EQ(o.calls, (lines{log_init, log_call(1, "Watchdog ping rate set to 5 seconds.\\n"), ticking}))
            << args[0];
    }
}

TEST(WatchdogTicking, PeriodWithoutDigitsIsZero) {
    const auto o = run_watchdog({"-p", "abc"}, stop_at_third);
    EXPECT_EQ(o.result.exit_code, 143);
    EXPECT_EQ(o.trace, ticking_trace(0));
    EXPECT_EQ(o.calls, (lines{log_init, log_call(1, "Watchdog ping rate set to 0 seconds.\\n"), ticking}));
}

TEST(WatchdogTicking, GateIsReadBeforeEachLine) {
    // Closed from the start: nothing but the init.
    auto o = run_watchdog({"-p", "5"}, stop_at_third, {.level_at_init = 2});
    EXPECT_EQ(o.trace, ticking_trace(5));
    EXPECT_EQ(o.calls, lines{log_init});
    // Closed after the ping-rate line (the second call): the ticking line is not sent.
    o = run_watchdog({"-p", "5"}, stop_at_third, {.level_at_init = 1, .level_after = {{2, 2}}});
    EXPECT_EQ(o.calls, (lines{log_init, log_call(1, "Watchdog ping rate set to 5 seconds.\\n")}));
    // Closed for the ping-rate line, open again for the ticking line.
    o = run_watchdog({"-p", "5"}, stop_at_third, {.level_at_init = 2, .level_after = {{1, 1}}});
    EXPECT_EQ(o.calls, (lines{log_init, log_call(1, "Watchdog ping rate set to 5 seconds.\\n"), ticking}));
}

} // namespace
