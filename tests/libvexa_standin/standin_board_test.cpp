// The stand-in library behind the real programs, on the simulated board.
#include "chain_power.h"
#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using vexadouble::library;

// Numbers the board operations of a trace, with the virtual time its waits move on.
struct trace_builder {
    lines trace;
    int op = 0;
    std::uint64_t us = 0;
    [[nodiscard]] std::string stamp() const {
        char text[32];
        std::snprintf(text, sizeof text, "[%5llu.%06llu] ", static_cast<unsigned long long>(us / 1000000),
                      static_cast<unsigned long long>(us % 1000000));
        return text;
    }
    void add(const std::string &line) { trace.push_back(stamp() + "#" + std::to_string(++op) + " " + line); }
    void wait(int seconds) {
        trace.push_back(stamp() + "wait " + std::to_string(seconds) + " s");
        us += static_cast<std::uint64_t>(seconds) * 1000000;
    }
    lines end(const std::string &still_open = "none") {
        trace.push_back(stamp() + "end: still open: " + still_open + "; " + std::to_string(op) +
                        " board operations");
        return trace;
    }
};

// One sysfs write: open, the text and its NUL when `nul`, close.
void sysfs_write(trace_builder &t, const std::string &path, const std::string &text, bool nul) {
    const std::string shown = "\"" + text + (nul ? "\\0" : "") + "\"";
    const std::string count = std::to_string(text.size() + (nul ? 1 : 0));
    t.add("open " + path + " O_WRONLY = fd N");
    t.add("write " + path + " " + shown + " (" + count + ") = " + count);
    t.add("close " + path + " = 0");
}

std::string line_file(int line, const char *attribute) {
    return "/sys/class/gpio/gpio" + std::to_string(line) + "/" + attribute;
}

// The chain's port opened and set up, its lines exported, its insertion line read.
void open_chain(trace_builder &t, int bus, bool inserted) {
    const std::string port = "/dev/spidev" + std::to_string(bus) + ".0";
    t.add("open " + port + " O_RDWR = fd N");
    t.add("ioctl " + port + " SPI_IOC_WR_MODE 0x40016b01 1 -> 1 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_MODE 0x80016b01 1 -> 1 = 0");
    t.add("ioctl " + port + " SPI_IOC_WR_BITS_PER_WORD 0x40016b03 8 -> 8 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_BITS_PER_WORD 0x80016b03 8 -> 8 = 0");
    t.add("ioctl " + port + " SPI_IOC_WR_MAX_SPEED_HZ 0x40046b04 1500000 -> 1500000 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_MAX_SPEED_HZ 0x80046b04 1500000 -> 1500000 = 0");
    const chain_lines &l = chain_gpio[static_cast<std::size_t>(bus)];
    for (const int line : {l.slot0, l.slot1, l.slot2, l.slot4}) {
        sysfs_write(t, "/sys/class/gpio/export", std::to_string(line), false);
        sysfs_write(t, line_file(line, "direction"), line == l.slot4 ? "in" : "out", true);
    }
    t.add("open " + line_file(l.slot4, "value") + " O_RDONLY = fd N");
    t.add("read " + line_file(l.slot4, "value") + " ask 1 = 1 \"" + (inserted ? "0" : "1") + "\"");
    t.add("close " + line_file(l.slot4, "value") + " = 0");
}

// The hash board's 13-second power-up, as the probe gives it.
void power_up(trace_builder &t, int bus) {
    const chain_lines &l = chain_gpio[static_cast<std::size_t>(bus)];
    t.wait(1);
    sysfs_write(t, line_file(l.slot1, "value"), "0", true);
    sysfs_write(t, line_file(l.slot2, "value"), "0", true);
    t.wait(5);
    sysfs_write(t, line_file(l.slot0, "value"), "1", true);
    t.wait(5);
    sysfs_write(t, line_file(l.slot2, "value"), "1", true);
    t.wait(1);
    sysfs_write(t, line_file(l.slot1, "value"), "1", true);
    t.wait(1);
}

// The reset sent, and the reply hunt's reads: the chips' answer, or its whole budget of 144 pairs.
void reset(trace_builder &t, int bus, const std::vector<std::string> &replies) {
    const std::string port = "/dev/spidev" + std::to_string(bus) + ".0";
    t.add("write " + port + " [04 00] (2) = 2");
    t.add("write " + port + " [00 00] (2) = 2");
    for (const std::string &pair : replies)
        t.add("read " + port + " ask 2 = 2 " + pair);
    t.add("close " + port + " = 0");
}

const std::vector<std::string> unanswered(144, "[00 00]");
const std::string reset_unanswered = "send command [reset] \nspi_poll_result fail.\n";

// Only an inserted chain is powered up and asked; the first that answers gives the type.
TEST(StandinTypeProbe, AsksEachInsertedChainInTurnUntilOneAnswers) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")},
                                            "chain * inserted no\nchain 1 inserted yes\nchain 1 silent 0x00\n"
                                            "chain 3 inserted yes\nchain 3 type 6\n",
                                            library::standin);
    trace_builder t;
    for (const int bus : {0, 1, 2, 3}) {
        const bool inserted = bus == 1 || bus == 3;
        open_chain(t, bus, inserted);
        if (inserted) {
            power_up(t, bus);
            reset(t, bus, bus == 1 ? unanswered : std::vector<std::string>{"[64 00]", "[00 00]", "[00 00]"});
        } else {
            t.add("close /dev/spidev" + std::to_string(bus) + ".0 = 0");
        }
    }
    EXPECT_EQ(o.trace, t.end());
    EXPECT_EQ(o.result.out, "K6\n");
    EXPECT_EQ(o.result.err, reset_unanswered + "send command [reset] \n");
    EXPECT_EQ(o.result.exit_code, 0);
}

TEST(StandinTypeProbe, TypeCodeOfTheFirstAnsweringChainIsPrinted) {
    struct board {
        std::string scenario;
        std::string printed;
    };
    for (const board &b :
         {board{"", "K6\n"}, board{"chain 0 type 11\n", "K7\n"}, board{"chain 0 type 3\n", "K8\n"},
          board{"chain 0 type 0\n", "K5\n"}, board{"chain 0 type 7\n", "ERR\n"}}) {
        const auto o =
            vexadouble::run_on_board({testsupport::bin_path("test_type")}, b.scenario, library::standin);
        EXPECT_EQ(o.result.out, b.printed) << b.scenario;
        EXPECT_EQ(o.trace.back(), "[   13.000000] end: still open: none; 55 board operations") << b.scenario;
    }
}

TEST(StandinTypeProbe, NoPortsNoAnswerPrintsErr) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")}, "spi * present no\n",
                                            library::standin);
    trace_builder t;
    for (int bus = 0; bus < 8; ++bus)
        t.add("open /dev/spidev" + std::to_string(bus) + ".0 O_RDWR = -1 ENOENT");
    EXPECT_EQ(o.trace, t.end());
    EXPECT_EQ(o.result.out, "ERR\n");
    EXPECT_EQ(o.result.exit_code, 0);
}

TEST(StandinTypeProbe, SilentChainsEverywherePrintErrAndCloseEveryPort) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")},
                                            "chain * inserted yes\nchain * silent 0x00\n", library::standin);
    trace_builder t;
    std::string err;
    for (int bus = 0; bus < 8; ++bus) {
        open_chain(t, bus, true);
        power_up(t, bus);
        reset(t, bus, unanswered);
        err += reset_unanswered;
    }
    EXPECT_EQ(o.trace, t.end());
    EXPECT_EQ(o.result.out, "ERR\n");
    EXPECT_EQ(o.result.err, err);
}

// A hash board whose power-up cannot be driven (its power enable line is missing) never answers.
TEST(StandinTypeProbe, ABoardThatCannotBePoweredDoesNotAnswer) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")}, "gpio 872 absent yes\n",
                                            library::standin);
    EXPECT_EQ(o.result.out, "ERR\n");
    EXPECT_EQ(o.result.err, reset_unanswered);
}

TEST(StandinLed, BlinksLine881WithTheDelayInMilliseconds) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("vexa_test"), "1", "2", "300", "3"}, "",
                                            library::standin);
    const lines expected{
        "[    0.000000] #1 open /sys/class/gpio/export O_WRONLY = fd N",
        "[    0.000000] #2 write /sys/class/gpio/export \"881\" (3) = 3",
        "[    0.000000] #3 close /sys/class/gpio/export = 0",
        "[    0.000000] #4 open /sys/class/gpio/gpio881/direction O_WRONLY = fd N",
        "[    0.000000] #5 write /sys/class/gpio/gpio881/direction \"out\\0\" (4) = 4",
        "[    0.000000] #6 close /sys/class/gpio/gpio881/direction = 0",
        "[    0.000000] #7 open /sys/class/gpio/gpio881/value O_WRONLY = fd N",
        "[    0.000000] #8 write /sys/class/gpio/gpio881/value \"0\\0\" (2) = 2",
        "[    0.000000] #9 close /sys/class/gpio/gpio881/value = 0",
        "[    0.000000] #10 open /sys/class/gpio/gpio881/value O_RDONLY = fd N",
        "[    0.000000] #11 read /sys/class/gpio/gpio881/value ask 1 = 1 \"0\"",
        "[    0.000000] #12 close /sys/class/gpio/gpio881/value = 0",
        "[    0.000000] #13 open /sys/class/gpio/gpio881/value O_WRONLY = fd N",
        "[    0.000000] #14 write /sys/class/gpio/gpio881/value \"1\\0\" (2) = 2",
        "[    0.000000] #15 close /sys/class/gpio/gpio881/value = 0",
        "[    0.000000] wait 0.300000 s",
        "[    0.300000] #16 open /sys/class/gpio/gpio881/value O_WRONLY = fd N",
        "[    0.300000] #17 write /sys/class/gpio/gpio881/value \"0\\0\" (2) = 2",
        "[    0.300000] #18 close /sys/class/gpio/gpio881/value = 0",
        "[    0.300000] wait 0.300000 s",
        "[    0.600000] #19 open /sys/class/gpio/gpio881/value O_WRONLY = fd N",
        "[    0.600000] #20 write /sys/class/gpio/gpio881/value \"1\\0\" (2) = 2",
        "[    0.600000] #21 close /sys/class/gpio/gpio881/value = 0",
        "[    0.600000] wait 0.300000 s",
        "[    0.900000] #22 open /sys/class/gpio/gpio881/value O_WRONLY = fd N",
        "[    0.900000] #23 write /sys/class/gpio/gpio881/value \"0\\0\" (2) = 2",
        "[    0.900000] #24 close /sys/class/gpio/gpio881/value = 0",
        "[    0.900000] end: still open: none; 24 board operations",
    };
    EXPECT_EQ(o.trace, expected);
    // The stand-in starts at threshold 0, and vexa_test's vexa_log_init(5, ...) raises it to 5.
    EXPECT_EQ(o.result.err, "1,2,300,3.\nvexa_test: 5\nvexa_test: 6\nvexa_test: 7\nvexa_test: 8\n");
    EXPECT_EQ(o.result.out, "");
    EXPECT_EQ(o.result.exit_code, 0);
}

TEST(StandinLed, NoCountNoBlinkAndNegativeDelayNoWait) {
    const auto none = vexadouble::run_on_board({testsupport::bin_path("vexa_test"), "1", "2", "300", "-4"},
                                               "", library::standin);
    ASSERT_EQ(none.trace.size(), 16U);
    EXPECT_EQ(none.trace[12], "[    0.000000] #13 open /sys/class/gpio/gpio881/value O_WRONLY = fd N");
    EXPECT_EQ(none.trace[13], "[    0.000000] #14 write /sys/class/gpio/gpio881/value \"0\\0\" (2) = 2");
    EXPECT_EQ(none.trace[15], "[    0.000000] end: still open: none; 15 board operations");

    const auto fast = vexadouble::run_on_board({testsupport::bin_path("vexa_test"), "1", "2", "-300", "2"},
                                               "", library::standin);
    EXPECT_EQ(fast.trace.size(), 22U);
    EXPECT_EQ(fast.trace.back(), "[    0.000000] end: still open: none; 21 board operations");
}

// A line that cannot be driven is not blinked: the stand-in stops after the failed read-back.
TEST(StandinLed, BrokenLineIsLeftAlone) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("vexa_test"), "1", "2", "300", "3"},
                                            "gpio 881 broken yes\n", library::standin);
    const lines expected{
        "[    0.000000] #1 open /sys/class/gpio/export O_WRONLY = fd N",
        "[    0.000000] #2 write /sys/class/gpio/export \"881\" (3) = 3",
        "[    0.000000] #3 close /sys/class/gpio/export = 0",
        "[    0.000000] #4 open /sys/class/gpio/gpio881/direction O_WRONLY = -1 ENOENT",
        "[    0.000000] #5 open /sys/class/gpio/gpio881/value O_WRONLY = -1 ENOENT",
        "[    0.000000] #6 open /sys/class/gpio/gpio881/value O_RDONLY = -1 ENOENT",
        "[    0.000000] end: still open: none; 6 board operations",
    };
    EXPECT_EQ(o.trace, expected);
    EXPECT_EQ(o.result.exit_code, 0);
}

TEST(StandinWatchdog, LogsThroughTheStandinOnStandardError) {
    const auto o =
        vexadouble::run_on_board({testsupport::bin_path("watchdog"), "-t", "30"}, "", library::standin);
    EXPECT_EQ(o.result.err, "watchdog: Watchdog timeout set to 30 seconds.\n");
    EXPECT_EQ(o.result.exit_code, 0);
}

} // namespace
