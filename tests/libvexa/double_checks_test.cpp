#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

lines calls_of(const std::string &mode) {
    return vexadouble::run({MISBEHAVING_CALLER, mode}).calls;
}

TEST(VexaDoubleChecks, ReportsEachBrokenPromiseOfTheCaller) {
    EXPECT_EQ(calls_of("misaligned"), (lines{
                                          "zynq_gpio_init(gpio#1, 881, 0)",
                                          "! gpio#1 storage misaligned",
                                          "zynq_gpio_exit(gpio#1)",
                                      }));
    EXPECT_EQ(calls_of("changed"), (lines{
                                       "vexa_bucket_init(bucket#1, 8, 72)",
                                       "vexa_bucket_get_type_bits(bucket#1) -> 255",
                                       "! bucket#1 storage changed by its owner at byte 14851",
                                       "vexa_bucket_exit(bucket#1)",
                                       "! bucket#1 storage changed by its owner at byte 14851",
                                   }));
    EXPECT_EQ(calls_of("outside"), (lines{
                                       "vexa_led_blink(gpio#1, 1, 1)",
                                       "! gpio#1 used outside init..exit",
                                       "zynq_gpio_init(gpio#1, 881, 0)",
                                       "zynq_gpio_exit(gpio#1)",
                                       "vexa_led_blink(gpio#1, 1, 1)",
                                       "! gpio#1 used outside init..exit",
                                   }));
    EXPECT_EQ(calls_of("texts"), (lines{
                                     "vexa_bucket_init(bucket#1, 8, 72)",
                                     "_vexa_log(1, \"x\", 1)",
                                     "! log text inside bucket#1",
                                     "_vexa_log(1, \"" + std::string(256, 'y') + "\", 1)",
                                     "! log text longer than 255 characters",
                                 }));
    EXPECT_EQ(calls_of("null"), (lines{"zynq_gpio_init(gpio#1, 881, 0)", "! gpio#1 is NULL"}));
}

} // namespace
