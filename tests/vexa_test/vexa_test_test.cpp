#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using testsupport::bin_path;
using vexadouble::log_call;
using lines = std::vector<std::string>;

const std::string log_init = "vexa_log_init(5, \"vexa_test\")";
const std::string gpio_init = "zynq_gpio_init(gpio#1, 881, 0)";
const std::string gpio_exit = "zynq_gpio_exit(gpio#1)";

std::string blink(const std::string &delay, const std::string &times) {
    return "vexa_led_blink(gpio#1, " + delay + ", " + times + ")";
}

const lines all_thirteen{
    log_call(1, "1,2,300,5.\\n"),
    log_init,
    log_call(1, "1\\n"),
    log_call(2, "2\\n"),
    log_call(3, "3\\n"),
    log_call(4, "4\\n"),
    log_call(5, "5\\n"),
    log_call(6, "6\\n"),
    log_call(7, "7\\n"),
    log_call(8, "8\\n"),
    log_call(1, "nt:vexa_log_nt\\n", 0),
    gpio_init,
    log_call(1, "led test delay:300,times:5.\\n"),
    blink("300", "5"),
    gpio_exit,
    log_call(1, "vexa_led_blink done.\\n"),
    log_call(1, "vexa_fan_test not impl.\\n"),
};

vexadouble::outcome run_board_test(const vexadouble::setup &setup, lines args = {"1", "2", "300", "5"}) {
    args.insert(args.begin(), bin_path("vexa_test"));
    auto o = vexadouble::run(args, setup);
    EXPECT_EQ(o.result.exit_code, 0);
    EXPECT_EQ(o.result.out, "");
    EXPECT_EQ(o.result.err, "");
    return o;
}

TEST(VexaTestGates, ThresholdOneOrBelowSendsEveryLine) {
    for (const int level : {1, 0, -1, -2147483647 - 1}) {
        EXPECT_EQ(run_board_test({.level = level, .level_at_init = level}).calls, all_thirteen) << level;
    }
}

TEST(VexaTestGates, ThresholdFiveAfterInitSendsOnlyLevelsFiveToEight) {
    const lines expected{
        log_call(1, "1,2,300,5.\\n"),
        log_init,
        log_call(5, "5\\n"),
        log_call(6, "6\\n"),
        log_call(7, "7\\n"),
        log_call(8, "8\\n"),
        gpio_init,
        blink("300", "5"),
        gpio_exit,
    };
    EXPECT_EQ(run_board_test({.level = 1, .level_at_init = 5}).calls, expected);
}

TEST(VexaTestGates, ThresholdNineAfterInitSendsNothingButStillBlinks) {
    const lines expected{log_call(1, "1,2,300,5.\\n"), log_init, gpio_init, blink("300", "5"), gpio_exit};
    EXPECT_EQ(run_board_test({.level = 1, .level_at_init = 9}).calls, expected);
    EXPECT_EQ(run_board_test({.level = 1, .level_at_init = 2147483647}).calls, expected);
}

// The first line goes out before vexa_log_init, so the threshold the library has at load decides it.
TEST(VexaTestGates, FirstLineSeesTheThresholdFromLoad) {
    lines expected = all_thirteen;
    expected.erase(expected.begin());
    EXPECT_EQ(run_board_test({.level = 2, .level_at_init = 1}).calls, expected);
    EXPECT_EQ(run_board_test({.level = 1, .level_at_init = 1}).calls, all_thirteen);
}

TEST(VexaTestGates, ThresholdIsReadAfreshBeforeEveryLine) {
    // Calls counted from 1: the first line, vexa_log_init, then "3\n" is the third.
    const lines level_loop{
        log_call(1, "1,2,300,5.\\n"),
        log_init,
        log_call(3, "3\\n"),
        log_call(6, "6\\n"),
        log_call(7, "7\\n"),
        log_call(8, "8\\n"),
        gpio_init,
        blink("300", "5"),
        gpio_exit,
    };
    EXPECT_EQ(run_board_test({.level = 0, .level_at_init = 9, .level_after = {{2, 3}, {3, 6}}}).calls,
              level_loop);

    // Opened after zynq_gpio_init, closed after the blink, opened after zynq_gpio_exit, closed after
    // the line that follows it.
    const lines around_blink{
        log_call(1, "1,2,300,5.\\n"),
        log_init,
        gpio_init,
        log_call(1, "led test delay:300,times:5.\\n"),
        blink("300", "5"),
        gpio_exit,
        log_call(1, "vexa_led_blink done.\\n"),
    };
    EXPECT_EQ(
        run_board_test({.level = 0, .level_at_init = 9, .level_after = {{3, 1}, {5, 9}, {6, 1}, {7, 9}}})
            .calls,
        around_blink);
}

struct conversion_case {
    std::string name;
    lines args;
    std::string first_line; // as the record shows it
    std::string delay;
    std::string times;
};

void PrintTo(const conversion_case &c, std::ostream *os) {
    *os << c.name;
}

class VexaTestArguments : public testing::TestWithParam<conversion_case> {};

TEST_P(VexaTestArguments, ConvertAsStrtolAndReachTheBlinkUnchanged) {
    const conversion_case &c = GetParam();
    const lines expected{
        log_call(1, c.first_line),
        log_init,
        log_call(1, "1\\n"),
        log_call(2, "2\\n"),
        log_call(3, "3\\n"),
        log_call(4, "4\\n"),
        log_call(5, "5\\n"),
        log_call(6, "6\\n"),
        log_call(7, "7\\n"),
        log_call(8, "8\\n"),
        log_call(1, "nt:vexa_log_nt\\n", 0),
        gpio_init,
        log_call(1, "led test delay:" + c.delay + ",times:" + c.times + ".\\n"),
        blink(c.delay, c.times),
        gpio_exit,
        log_call(1, "vexa_led_blink done.\\n"),
        log_call(1, "vexa_fan_test not impl.\\n"),
    };
    EXPECT_EQ(run_board_test({.level = 0, .level_at_init = 0}, c.args).calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VexaTestArguments,
    testing::Values(
        conversion_case{
            "NoDigitsTrailingTextAndSign", {"abc", "12abc", "-7", "0"}, "0,12,-7,0.\\n", "-7", "0"},
        conversion_case{"SpaceSignAndOutOfRange",
                        {" +42", "\t-3x", "99999999999", "-99999999999"},
                        "42,-3,2147483647,-2147483648.\\n",
                        "2147483647",
                        "-2147483648"},
        conversion_case{"EmptyLoneSignHexExponent", {"", "-", "0x10", "1e3"}, "0,0,0,1.\\n", "0", "1"},
        conversion_case{"RangeLimits",
                        {"2147483647", "-2147483648", "2147483648", "-2147483649"},
                        "2147483647,-2147483648,2147483647,-2147483648.\\n",
                        "2147483647",
                        "-2147483648"},
        // Only the first four arguments are read.
        conversion_case{
            "FifthAndLaterIgnored", {"1", "2", "300", "5", "6", "junk", ""}, "1,2,300,5.\\n", "300", "5"}),
    [](const testing::TestParamInfo<conversion_case> &param) { return param.param.name; });

TEST(VexaTestUsage, FewerThanFourArgumentsGiveUsageAndNoLibraryCall) {
    const lines argument_lists[] = {{}, {"1"}, {"1", "2"}, {"1", "2", "300"}};
    for (lines args : argument_lists) {
        args.insert(args.begin(), bin_path("vexa_test"));
        const auto o = vexadouble::run(args, {.level = 0});
        EXPECT_EQ(o.result.exit_code, 2) << args.size() - 1 << " arguments";
        EXPECT_EQ(o.result.out, "");
        EXPECT_EQ(o.result.err, "usage: vexa_test <first> <second> <delay> <times>\n");
        EXPECT_EQ(o.calls, lines{});
    }
}

} // namespace
