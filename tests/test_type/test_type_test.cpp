#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testsupport::bin_path;

std::vector<std::string> expected_calls(int bits) {
    return {
        "vexa_log_init(5, \"test_type\")",
        "vexa_bucket_init(bucket#1, 8, 72)",
        "vexa_bucket_get_type_bits(bucket#1) -> " + std::to_string(bits),
        "vexa_bucket_exit(bucket#1)",
    };
}

// One run for each thing the name table does; the library's result is the code the double returns.
TEST(TestType, NamesTheLowEightBitsOfTheLibrarysCodeAndExitsZero) {
    struct type_case {
        const char *why;
        int bits;
        const char *printed;
    };
    const type_case cases[] = {
        {"a name", 0, "K5"},
        {"a name", 3, "K8"},
        {"a name", 6, "K6"},
        {"a name, the table's last entry", 11, "K7"},
        {"no name here, though the SPI probe's M47; ERR, not TYPE_ERR", 7, "ERR"},
        {"the first code past the table, the SPI probe's M48", 12, "ERR"},
        {"all 8 low bits count: 0xF6 is code 246, not 6", 0xF6, "ERR"},
        {"only the low 8 bits count: 0x103 is code 3", 0x103, "K8"},
        {"a negative result: -250 is 0x...06, code 6", -250, "K6"},
    };
    for (const type_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + ", " + c.why);
        const auto o = vexadouble::run({bin_path("test_type")}, {.type_bits = c.bits});
        EXPECT_EQ(o.result.out, std::string{c.printed} + "\n");
        EXPECT_EQ(o.result.err, "");
        EXPECT_EQ(o.result.exit_code, 0);
        EXPECT_EQ(o.calls, expected_calls(c.bits));
    }
}

TEST(TestType, ArgumentsChangeNothing) {
    const auto o = vexadouble::run({bin_path("test_type"), "-t", "30", "x", ""}, {.type_bits = 11});
    EXPECT_EQ(o.result.out, "K7\n");
    EXPECT_EQ(o.result.err, "");
    EXPECT_EQ(o.result.exit_code, 0);
    EXPECT_EQ(o.calls, expected_calls(11));
}

// test_type writes no log lines of its own, whatever the threshold lets through.
TEST(TestType, SendsNoLogLineAtAnyThreshold) {
    for (const int level : {-1000, 0, 1, 9}) {
        const auto o = vexadouble::run({bin_path("test_type")},
                                       {.level = level, .level_at_init = level, .type_bits = 3});
        EXPECT_EQ(o.result.out, "K8\n") << "g_log_level " << level;
        EXPECT_EQ(o.calls, expected_calls(3)) << "g_log_level " << level;
    }
}

} // namespace
