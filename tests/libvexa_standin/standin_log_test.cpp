#include "run.h"
#include "vexa.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

// What the library wrote to standard error while body ran.
template <typename Body> std::string stderr_of(Body body) {
    testsupport::temp_dir dir;
    const std::string path = dir.file("stderr");
    std::fflush(stderr);
    const int saved = ::dup(STDERR_FILENO);
    FILE *capture = std::fopen(path.c_str(), "w");
    ::dup2(::fileno(capture), STDERR_FILENO);
    body();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(capture);
    return testsupport::read_file(path);
}

TEST(StandinLog, InitSetsTheThresholdAndTheTag) {
    EXPECT_EQ(vexa_log_init(7, "vexa_test"), 0);
    EXPECT_EQ(g_log_level, 7);
    EXPECT_EQ(vexa_log_init(-3, "watchdog"), 0);
    EXPECT_EQ(g_log_level, -3);
    const std::string err = stderr_of([] { _vexa_log(1, "Watchdog Ticking Away!", 1); });
    EXPECT_EQ(err, "watchdog: Watchdog Ticking Away!\n");
}

TEST(StandinLog, EveryLineEndsWithExactlyOneNewlineInBothForms) {
    vexa_log_init(5, "vexa_test");
    const std::string err = stderr_of([] {
        _vexa_log(5, "5\n", 1);
        _vexa_log(1, "nt:vexa_log_nt\n", 0);
        _vexa_log(5, "/dev/watchdog0 watchdog device can't be enabled.", 1);
        _vexa_log(1, "", 1);
        _vexa_log(1, "two\nlines\n", 1);
    });
    EXPECT_EQ(err, "vexa_test: 5\n"
                   "vexa_test: nt:vexa_log_nt\n"
                   "vexa_test: /dev/watchdog0 watchdog device can't be enabled.\n"
                   "vexa_test: \n"
                   "vexa_test: two\nlines\n");
}

// Callers hand over at most 255 characters; more is cut there rather than overrunning the line.
TEST(StandinLog, LongTextsAndTagsAreCut) {
    const std::string long_tag(40, 't');
    vexa_log_init(0, long_tag.c_str());
    const std::string text(300, 'x');
    const std::string err = stderr_of([&] { _vexa_log(1, text.c_str(), 1); });
    EXPECT_EQ(err, std::string(31, 't') + ": " + std::string(255, 'x') + "\n");
}

TEST(StandinLog, NoTagNoPrefixAndNoTextNothing) {
    vexa_log_init(0, nullptr);
    int null_result = 0;
    const std::string err = stderr_of([&] {
        _vexa_log(1, "1,2,300,5.\n", 1);
        null_result = _vexa_log(1, nullptr, 1);
    });
    EXPECT_EQ(err, "1,2,300,5.\n");
    EXPECT_EQ(null_result, -1);
}

// The library keeps its state only inside the caller's storage and refuses storage it never set up.
TEST(StandinContexts, UnpreparedOrMissingStorageIsRefusedWithoutTouchingTheBoard) {
    zynq_gpio_ctx gpio{};
    EXPECT_EQ(vexa_led_blink(&gpio, 0, 3), -1);
    EXPECT_EQ(zynq_gpio_exit(&gpio), -1);
    EXPECT_EQ(zynq_gpio_init(nullptr, 881, 0), -1);
    EXPECT_EQ(vexa_led_blink(nullptr, 0, 3), -1);

    vexa_bucket_ctx bucket{};
    EXPECT_EQ(vexa_bucket_get_type_bits(&bucket), 0xFF);
    EXPECT_EQ(vexa_bucket_get_type_bits(nullptr), 0xFF);
    EXPECT_EQ(vexa_bucket_init(nullptr, 8, 72), -1);
    // Initialised and released again: the object is gone.
    EXPECT_EQ(vexa_bucket_init(&bucket, 8, 72), 0);
    EXPECT_EQ(vexa_bucket_exit(&bucket), 0);
    EXPECT_EQ(vexa_bucket_get_type_bits(&bucket), 0xFF);
}

// A line number past the 32-bit range is refused before any sysfs file is written.
TEST(StandinContexts, GpioLineBeyondRangeIsRefused) {
    zynq_gpio_ctx gpio{};
    EXPECT_EQ(zynq_gpio_init(&gpio, 2147483647, 1), -1);
    EXPECT_EQ(zynq_gpio_init(&gpio, -881, 0), -1);
    EXPECT_EQ(vexa_led_blink(&gpio, 0, 1), -1);
}

} // namespace
