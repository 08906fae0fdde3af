#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <ostream>
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

struct type_case {
    int bits;
    const char *printed;
};

void PrintTo(const type_case &c, std::ostream *os) {
    *os << c.bits << " -> " << c.printed;
}

std::string code_name(const testing::TestParamInfo<type_case> &info) {
    const int bits = info.param.bits;
    return (bits < 0 ? "minus" + std::to_string(-static_cast<long long>(bits)) : std::to_string(bits)) + "_" +
           info.param.printed;
}

class TestTypeNames : public testing::TestWithParam<type_case> {};

TEST_P(TestTypeNames, PrintsTheNameOfTheLowEightBitsAndExitsZero) {
    const type_case c = GetParam();
    const auto o = vexadouble::run({bin_path("test_type")}, {.type_bits = c.bits});
    EXPECT_EQ(o.result.out, std::string{c.printed} + "\n");
    EXPECT_EQ(o.result.err, "");
    EXPECT_EQ(o.result.exit_code, 0);
    EXPECT_EQ(o.calls, expected_calls(c.bits));
}

// Only four codes have a name here; the SPI probe's 7 and 12 do not, and the fallback is ERR.
INSTANTIATE_TEST_SUITE_P(Codes, TestTypeNames,
                         testing::Values(type_case{0, "K5"}, type_case{1, "ERR"}, type_case{2, "ERR"},
                                         type_case{3, "K8"}, type_case{4, "ERR"}, type_case{5, "ERR"},
                                         type_case{6, "K6"}, type_case{7, "ERR"}, type_case{8, "ERR"},
                                         type_case{9, "ERR"}, type_case{10, "ERR"}, type_case{11, "K7"},
                                         type_case{12, "ERR"}, type_case{15, "ERR"}, type_case{255, "ERR"}),
                         code_name);

INSTANTIATE_TEST_SUITE_P(LowEightBits, TestTypeNames,
                         testing::Values(type_case{259, "K8"}, type_case{268, "ERR"}, type_case{267, "K7"},
                                         type_case{256, "K5"}, type_case{0x7FFFFF06, "K6"},
                                         type_case{-1, "ERR"}, type_case{-250, "K6"}, type_case{-256, "K5"}),
                         code_name);

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
