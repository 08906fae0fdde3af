// GPIO, clock and voltage operations against the simulated board: the exact bytes each one moves.
#include "board_io.h"
#include "board_ops.h"
#include "decimal.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using board_io = board_test;

constexpr const char *fclk_export_file = "/sys/devices/soc0/amba/f8007000.devcfg/fclk_export";
constexpr const char *set_rate_file = "/sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate";

std::string line(const std::string &text) {
    return text;
}

TEST_F(board_io, export_writes_the_number_then_the_direction_with_its_nul) {
    gpio_export(872, 0);
    gpio_export(896, 1);
    EXPECT_THAT(board_ops(), ElementsAre(                                                      //
                                 "open /sys/class/gpio/export O_WRONLY = fd",                  //
                                 "write /sys/class/gpio/export \"872\" (3) = 3",               //
                                 "close /sys/class/gpio/export = 0",                           //
                                 "open /sys/class/gpio/gpio872/direction O_WRONLY = fd",       //
                                 "write /sys/class/gpio/gpio872/direction \"out\\0\" (4) = 4", //
                                 "close /sys/class/gpio/gpio872/direction = 0",                //
                                 "open /sys/class/gpio/export O_WRONLY = fd",                  //
                                 "write /sys/class/gpio/export \"896\" (3) = 3",               //
                                 "close /sys/class/gpio/export = 0",                           //
                                 "open /sys/class/gpio/gpio896/direction O_WRONLY = fd",       //
                                 "write /sys/class/gpio/gpio896/direction \"in\\0\" (3) = 3",  //
                                 "close /sys/class/gpio/gpio896/direction = 0"));
    ASSERT_TRUE(boardsim::gpio(872).has_value());
    EXPECT_TRUE(boardsim::gpio(872)->output);
    EXPECT_EQ(boardsim::gpio(872)->level, 0);
    EXPECT_FALSE(boardsim::gpio(896)->output);
    EXPECT_THAT(boardsim::open_files(), IsEmpty());
}

TEST_F(board_io, exporting_again_configures_the_line_again) {
    gpio_export(872, 0);
    gpio_set_value(872, 1);
    boardsim::clear_trace();
    gpio_export(872, 0); // the driver refuses the second export; the direction is still written
    const auto lines = board_ops();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[4], "write /sys/class/gpio/gpio872/direction \"out\\0\" (4) = 4");
    EXPECT_EQ(boardsim::gpio(872)->level, 0);
}

TEST_F(board_io, export_stops_where_a_file_cannot_be_opened) {
    boardsim::fail_op(1); // the export file
    gpio_export(872, 0);
    EXPECT_THAT(board_ops(), ElementsAre("open /sys/class/gpio/export O_WRONLY = -1 ENOENT (injected)"));

    boardsim::clear_trace();
    load("gpio 873 broken yes");
    gpio_export(873, 0);
    const auto lines = board_ops();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3], "open /sys/class/gpio/gpio873/direction O_WRONLY = -1 ENOENT");
    EXPECT_TRUE(boardsim::gpio(873)->exported);
}

TEST_F(board_io, set_value_writes_one_digit_and_its_nul) {
    gpio_export(854, 0);
    boardsim::clear_trace();
    gpio_set_value(854, 5);
    EXPECT_EQ(boardsim::gpio(854)->level, 1);
    gpio_set_value(854, 0);
    EXPECT_EQ(boardsim::gpio(854)->level, 0);
    gpio_set_value(854, -1);
    EXPECT_THAT(board_ops(), ElementsAre("open /sys/class/gpio/gpio854/value O_WRONLY = fd",
                                         "write /sys/class/gpio/gpio854/value \"1\\0\" (2) = 2",
                                         "close /sys/class/gpio/gpio854/value = 0",
                                         "open /sys/class/gpio/gpio854/value O_WRONLY = fd",
                                         "write /sys/class/gpio/gpio854/value \"0\\0\" (2) = 2",
                                         "close /sys/class/gpio/gpio854/value = 0",
                                         "open /sys/class/gpio/gpio854/value O_WRONLY = fd",
                                         "write /sys/class/gpio/gpio854/value \"1\\0\" (2) = 2",
                                         "close /sys/class/gpio/gpio854/value = 0"));
}

TEST_F(board_io, set_value_on_a_line_never_exported_opens_nothing_else) {
    gpio_set_value(900, 1);
    EXPECT_THAT(board_ops(), ElementsAre("open /sys/class/gpio/gpio900/value O_WRONLY = -1 ENOENT"));
}

TEST_F(board_io, get_value_reads_one_byte) {
    struct {
        const char *reads;
        std::int32_t expected;
    } cases[] = {{"\"0\\n\"", 0}, {"\"1\\n\"", 1}, {"\"7\"", 1}, {"\"\"", 1}, {"\" 0\"", 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reads);
        reset_board();
        load(std::string{"gpio 896 reads "} + c.reads);
        gpio_export(896, 1);
        boardsim::clear_trace();
        EXPECT_EQ(gpio_get_value(896), c.expected);
        const auto lines = board_ops();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], "open /sys/class/gpio/gpio896/value O_RDONLY = fd");
        EXPECT_EQ(lines[1].rfind("read /sys/class/gpio/gpio896/value ask 1 = ", 0), 0u) << lines[1];
    }
}

TEST_F(board_io, get_value_of_an_unreadable_line_is_minus_one) {
    EXPECT_EQ(gpio_get_value(896), -1); // never exported: no value file
    reset_board();
    gpio_export(896, 1);
    boardsim::fail_op(2); // the read itself fails: the zeroed byte is not "0"
    EXPECT_EQ(gpio_get_value(896), 1);
}

TEST_F(board_io, clock_export_and_rate_round_trip) {
    fclk_export();
    EXPECT_EQ(fclk_set_rate(400000), 6400000);
    EXPECT_EQ(fclk_get_rate(), 6400000);
    EXPECT_THAT(board_ops(), ElementsAre(line("open ") + fclk_export_file + " O_WRONLY = fd",
                                         line("write ") + fclk_export_file + " \"fclk1\" (5) = 5",
                                         line("close ") + fclk_export_file + " = 0",
                                         line("open ") + set_rate_file + " O_WRONLY = fd",
                                         line("write ") + set_rate_file + " \"6400000\" (7) = 7",
                                         line("close ") + set_rate_file + " = 0",
                                         line("open ") + set_rate_file + " O_RDONLY = fd",
                                         line("read ") + set_rate_file + " ask 12 = 8 \"6400000\\n\"",
                                         line("close ") + set_rate_file + " = 0",
                                         line("open ") + set_rate_file + " O_RDONLY = fd",
                                         line("read ") + set_rate_file + " ask 12 = 8 \"6400000\\n\"",
                                         line("close ") + set_rate_file + " = 0"));
    EXPECT_EQ(boardsim::fclk_exports(), 1);
}

TEST_F(board_io, rate_read_back_is_what_the_driver_says) {
    struct {
        const char *readback;
        std::int32_t expected;
    } cases[] = {
        {"\"6399999\\n\"", 6399999},     {"\"  -42x\"", -42}, {"\"abc\"", 0}, {"\"\"", 0},
        {"\"999999999999\"", INT32_MAX}, {"\"+17\"", 17},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.readback);
        reset_board();
        load(std::string{"fclk1 readback "} + c.readback);
        EXPECT_EQ(fclk_set_rate(400000), c.expected);
        EXPECT_EQ(fclk_get_rate(), c.expected);
        EXPECT_EQ(boardsim::fclk_rate_written(), "6400000");
    }
}

TEST_F(board_io, rate_fails_without_the_clock_files) {
    load("fclk1 present no");
    fclk_export();
    EXPECT_EQ(fclk_set_rate(400000), -1);
    EXPECT_EQ(fclk_get_rate(), -1);
    EXPECT_EQ(board_ops().size(), 3u); // three failed opens, nothing else

    reset_board();
    boardsim::fail_op(4); // the read-back open
    EXPECT_EQ(fclk_set_rate(400000), -1);
}

TEST_F(board_io, rate_whose_product_does_not_fit_is_refused_unwritten) {
    for (std::int32_t rate : {134217728, INT32_MAX, -134217729, INT32_MIN}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(fclk_set_rate(rate), -1);
    }
    EXPECT_THAT(board_ops(), IsEmpty());
    EXPECT_EQ(fclk_set_rate(134217727), 2147483632);
    boardsim::clear_trace();
    fclk_set_rate(-134217728); // fits, so it reaches the driver, which refuses it
    ASSERT_GE(board_ops().size(), 2u);
    EXPECT_EQ(board_ops()[1], std::string{"write "} + set_rate_file + " \"-2147483648\" (11) = -1 EINVAL");
}

TEST_F(board_io, voltage_request_carries_the_value_with_bit_8) {
    vid_set_value(5);
    vid_set_value(0x100);
    EXPECT_THAT(boardsim::vidgen_args(), ElementsAre(0x105, 0x100));
    EXPECT_THAT(boardsim::open_files(), IsEmpty());
}

TEST_F(board_io, voltage_failures_are_reported_on_stderr) {
    load("vidgen fail yes");
    ::testing::internal::CaptureStderr();
    vid_set_value(1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "set vid value fail.\n");
    EXPECT_THAT(boardsim::open_files(), IsEmpty());

    load("vidgen present no");
    ::testing::internal::CaptureStderr();
    vid_set_value(1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "open /dev/vidgen0.0 fail.\n");
}

TEST(parse_decimal, reads_like_the_clock_driver_writes) {
    EXPECT_EQ(parse_decimal("6400000\n"), 6400000);
    EXPECT_EQ(parse_decimal(" \t-12ab"), -12);
    EXPECT_EQ(parse_decimal("x1"), 0);
    EXPECT_EQ(parse_decimal("-"), 0);
    EXPECT_EQ(parse_decimal("2147483647"), INT32_MAX);
    EXPECT_EQ(parse_decimal("2147483648"), INT32_MAX);
    EXPECT_EQ(parse_decimal("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_decimal("-99999999999999999999"), INT32_MIN);
}

} // namespace
