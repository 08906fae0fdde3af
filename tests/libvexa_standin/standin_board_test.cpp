// The stand-in library behind the real programs, on the simulated board.
#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;
using vexadouble::library;

// Numbers the board operations of a trace whose lines all come at virtual time 0.
struct trace_builder {
    lines trace;
    int op = 0;
    void add(const std::string &line) {
        trace.push_back("[    0.000000] #" + std::to_string(++op) + " " + line);
    }
    lines end(const std::string &still_open = "none") {
        trace.push_back("[    0.000000] end: still open: " + still_open + "; " + std::to_string(op) +
                        " board operations");
        return trace;
    }
};

void open_port(trace_builder &t, int bus) {
    const std::string port = "/dev/spidev" + std::to_string(bus) + ".0";
    t.add("open " + port + " O_RDWR = fd N");
    t.add("ioctl " + port + " SPI_IOC_WR_MODE 0x40016b01 1 -> 1 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_MODE 0x80016b01 1 -> 1 = 0");
    t.add("ioctl " + port + " SPI_IOC_WR_BITS_PER_WORD 0x40016b03 8 -> 8 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_BITS_PER_WORD 0x80016b03 8 -> 8 = 0");
    t.add("ioctl " + port + " SPI_IOC_WR_MAX_SPEED_HZ 0x40046b04 1500000 -> 1500000 = 0");
    t.add("ioctl " + port + " SPI_IOC_RD_MAX_SPEED_HZ 0x80046b04 1500000 -> 1500000 = 0");
    t.add("write " + port + " [04 00] (2) = 2");
    t.add("write " + port + " [00 00] (2) = 2");
}

// A chain without a board: the reply hunt reads its whole budget of 144 pairs.
void silent_chain(trace_builder &t, int bus) {
    const std::string port = "/dev/spidev" + std::to_string(bus) + ".0";
    open_port(t, bus);
    for (int i = 0; i < 144; ++i)
        t.add("read " + port + " ask 2 = 2 [00 00]");
    t.add("close " + port + " = 0");
}

const std::string reset_unanswered = "send command [reset] \nspi_poll_result fail.\n";

TEST(StandinTypeProbe, AsksEachChainInTurnUntilOneAnswers) {
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")},
                                            "chain * inserted no\nchain 2 inserted yes\nchain 2 type 6\n",
                                            library::standin);
    trace_builder t;
    silent_chain(t, 0);
    silent_chain(t, 1);
    open_port(t, 2);
    t.add("read /dev/spidev2.0 ask 2 = 2 [64 00]");
    t.add("read /dev/spidev2.0 ask 2 = 2 [00 00]");
    t.add("read /dev/spidev2.0 ask 2 = 2 [00 00]");
    t.add("close /dev/spidev2.0 = 0");
    EXPECT_EQ(o.trace, t.end());
    EXPECT_EQ(o.result.out, "K6\n");
    EXPECT_EQ(o.result.err, reset_unanswered + reset_unanswered + "send command [reset] \n");
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
        EXPECT_EQ(o.trace.back(), "[    0.000000] end: still open: none; 13 board operations") << b.scenario;
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
    const auto o = vexadouble::run_on_board({testsupport::bin_path("test_type")}, "chain * silent 0x00\n",
                                            library::standin);
    trace_builder t;
    for (int bus = 0; bus < 8; ++bus)
        silent_chain(t, bus);
    EXPECT_EQ(o.trace, t.end());
    EXPECT_EQ(o.result.out, "ERR\n");
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
