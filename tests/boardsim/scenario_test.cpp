// The scenario text: what each key sets, and what a malformed line is told.
#include "readers/scenario.h"

#include <gtest/gtest.h>

namespace {

using boardsim::detail::parse_scenario;
using boardsim::detail::reply_kind;
using boardsim::detail::scenario;
using boardsim::detail::spi_request;
using bytes = std::vector<std::uint8_t>;

scenario parsed(std::string_view text) {
    scenario s;
    const std::string error = parse_scenario(text, "good.scn", s);
    EXPECT_EQ(error, "");
    return s;
}

TEST(scenario, the_empty_text_is_the_default_board) {
    const scenario s = parsed("# nothing but a comment\n\n   \n");
    EXPECT_TRUE(s.chains[0].inserted);
    for (int c = 1; c < 8; ++c)
        EXPECT_FALSE(s.chains[c].inserted) << c;
    for (const auto &chain : s.chains)
        EXPECT_EQ(chain.type, 6);
    for (const auto &port : s.ports)
        EXPECT_TRUE(port.present);
    EXPECT_TRUE(s.fclk_present);
    EXPECT_TRUE(s.vidgen_present);
    EXPECT_TRUE(s.watchdog_present);
    EXPECT_EQ(s.watchdog_stop_after, 0u);
    EXPECT_EQ(s.fail_op, 0u);
}

TEST(scenario, every_chain_key_sets_what_it_names) {
    const scenario s = parsed("chain * inserted no      # all out first\n"
                              "chain 5 inserted yes\n"
                              "chain 5 type 0xb\n"
                              "chain 5 reply bist_start 0x11 2 3 4 5 6\n"
                              "chain 5 result 1 2 3 4 5 6\n"
                              "chain 5 result-crc bad\n"
                              "chain 5 result-zero-first yes\n"
                              "chain 5 status 0 0 0 0 0 0 0 0 0 0xF0 0 0 0 9\n"
                              "chain 5 status-flag 1\n"
                              "chain 5 status-0a-first yes\n"
                              "chain 5 noise 7 0xAA 0x55\n"
                              "chain 5 silent 0xff\n"
                              "chain 5 fail-reads after 12\n"
                              "chain 5 fail-writes all\n");
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(s.chains[c].inserted, c == 5) << c;
    const auto &c = s.chains[5];
    EXPECT_EQ(c.type, 11);
    ASSERT_TRUE(c.replies[static_cast<int>(reply_kind::bist_start)]);
    EXPECT_EQ(*c.replies[static_cast<int>(reply_kind::bist_start)], (bytes{0x11, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(c.replies[static_cast<int>(reply_kind::reset)]);
    EXPECT_EQ(c.result, (std::array<std::uint8_t, 6>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(c.result_bad_crc);
    EXPECT_TRUE(c.result_zero_first);
    EXPECT_EQ(c.status[9], 0xF1);
    EXPECT_EQ(c.status[13], 9);
    EXPECT_TRUE(c.status_0a_first);
    EXPECT_EQ(c.noise_pairs, 7);
    EXPECT_EQ(c.noise, (std::array<std::uint8_t, 2>{0xAA, 0x55}));
    EXPECT_EQ(c.silent, std::optional<std::uint8_t>{0xFF});
    EXPECT_EQ(c.reads_ok, std::optional<std::uint64_t>{12});
    EXPECT_EQ(c.writes_ok, std::optional<std::uint64_t>{0});
    EXPECT_FALSE(s.chains[4].silent) << "a numbered line touches its own chain only";
}

TEST(scenario, star_lines_apply_to_all_and_later_lines_override) {
    const scenario s = parsed("chain * type 3\nchain 2 type 12\nchain * silent 0\nchain 4 silent no\n"
                              "chain * fail-reads all\nchain 1 fail-reads no\n");
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(s.chains[c].type, c == 2 ? 12 : 3) << c;
        EXPECT_EQ(s.chains[c].silent.has_value(), c != 4) << c;
        EXPECT_EQ(s.chains[c].reads_ok.has_value(), c != 1) << c;
    }
}

TEST(scenario, ports_gpio_clock_vidgen_watchdog_and_faults) {
    const scenario s = parsed("spi * present no\n"
                              "spi 3 present yes\n"
                              "spi 3 mode-readback 2\n"
                              "spi 3 bits-readback 16\n"
                              "spi 3 speed-readback 750000\n"
                              "spi 3 fail-request rd_speed\n"
                              "gpio 881 reads \"x\\0\\x7f\"\n"
                              "gpio 896 reads 1\n"
                              "gpio 860 broken yes\n"
                              "fclk1 readback \"123 \\\"456\\\"\\n\"\n"
                              "fclk1 present no\n"
                              "vidgen present no\n"
                              "vidgen fail yes\n"
                              "watchdog busy yes\n"
                              "watchdog present no\n"
                              "watchdog timeout-readback -5\n"
                              "watchdog stop-after 3\n"
                              "fail-op 42\n"
                              "run time-limit 86400\n"
                              "run operation-limit 0\n");
    for (int p = 0; p < 8; ++p)
        EXPECT_EQ(s.ports[p].present, p == 3) << p;
    EXPECT_EQ(s.ports[3].mode_readback, std::optional<std::uint8_t>{2});
    EXPECT_EQ(s.ports[3].bits_readback, std::optional<std::uint8_t>{16});
    EXPECT_EQ(s.ports[3].speed_readback, std::optional<std::uint32_t>{750000});
    EXPECT_EQ(s.ports[3].fail_request, spi_request::rd_speed);
    EXPECT_EQ(s.ports[2].fail_request, spi_request::none);
    EXPECT_EQ(s.gpio.at(881).reads, std::optional<std::string>(std::string{"x\0\x7f", 3}));
    EXPECT_EQ(s.gpio.at(896).reads, std::optional<std::string>{"1"});
    EXPECT_TRUE(s.gpio.at(860).broken);
    EXPECT_EQ(s.fclk_readback, std::optional<std::string>{"123 \"456\"\n"});
    EXPECT_FALSE(s.fclk_present);
    EXPECT_FALSE(s.vidgen_present);
    EXPECT_TRUE(s.vidgen_fail);
    EXPECT_TRUE(s.watchdog_busy);
    EXPECT_FALSE(s.watchdog_present);
    EXPECT_EQ(s.watchdog_timeout_readback, std::optional<int>{-5});
    EXPECT_EQ(s.watchdog_stop_after, 3u);
    EXPECT_EQ(s.fail_op, 42u);
    EXPECT_EQ(s.time_limit_us, 86400000000u);
    EXPECT_EQ(s.operation_limit, 0u);
}

TEST(scenario, malformed_lines_name_the_file_the_line_and_what_was_expected) {
    struct bad_case {
        std::string text;
        std::string error;
    };
    const std::vector<bad_case> cases{
        {"chain 2 inserted maybe", "bad.scn:1: expected yes or no after \"inserted\", got \"maybe\""},
        {"# ok\n\nchain 8 inserted yes", "bad.scn:3: expected a chain number 0 to 7, or *, got \"8\""},
        {"chain", "bad.scn:1: expected a chain number 0 to 7, or *, got the end of the line"},
        {"chain 1",
         "bad.scn:1: expected a chain setting (inserted, needs-power, type, reply, result, result-crc, "
         "result-zero-first, status, status-flag, status-0a-first, noise, silent, fail-reads, "
         "fail-writes), got the end of the line"},
        {"chain 1 type 16", "bad.scn:1: expected a type code 0 to 15, got \"16\""},
        {"chain 1 type -1", "bad.scn:1: expected a type code 0 to 15, got \"-1\""},
        {"chain 1 type 6 7", "bad.scn:1: expected the end of the line after \"6\", got \"7\""},
        {"chain 1 result 1 2 3", "bad.scn:1: expected 6 bytes, got the end of the line"},
        {"chain 1 result 1 2 3 4 5 0x100", "bad.scn:1: expected 6 bytes, got \"0x100\""},
        {"chain 1 reply reboot 1",
         "bad.scn:1: expected a command (reset, marked_reset, bist_start, bist_collect, "
         "bist_fix, write_reg), got \"reboot\""},
        {"chain 1 reply reset 1 2 3 4 5", "bad.scn:1: expected 6 bytes, got the end of the line"},
        {"chain 1 noise lots", "bad.scn:1: expected a count of noise pairs, got \"lots\""},
        {"chain 1 noise 2 0x12", "bad.scn:1: expected 2 bytes, got the end of the line"},
        // A byte is 0 to 255: one more is refused, however it is written.
        {"chain 1 result 1 2 3 4 5 256", "bad.scn:1: expected 6 bytes, got \"256\""},
        {"chain 1 reply reset 0x100 0 0 0 0 0", "bad.scn:1: expected 6 bytes, got \"0x100\""},
        {"chain 1 silent 256", "bad.scn:1: expected a byte (0 to 255, or 0x00 to 0xff), got \"256\""},
        {"chain 1 fail-reads after", "bad.scn:1: expected a count after \"after\", got the end of the line"},
        {"chain 1 fail-writes sometimes",
         "bad.scn:1: expected all, after N or no after \"fail-writes\", got \"sometimes\""},
        {"chain 1 status-flag 2", "bad.scn:1: expected 0 or 1 after \"status-flag\", got \"2\""},
        {"chain 1 result-crc ugly", "bad.scn:1: expected good or bad after \"result-crc\", got \"ugly\""},
        {"spi x present no", "bad.scn:1: expected a port number 0 to 7, or *, got \"x\""},
        {"spi 0 fail-request rd_delay",
         "bad.scn:1: expected wr_mode, rd_mode, wr_bits, rd_bits, wr_speed, rd_speed "
         "or none, got \"rd_delay\""},
        {"spi 0 speed-readback 4294967296", "bad.scn:1: expected a speed in Hz, got \"4294967296\""},
        {"spi 0 colour blue", "bad.scn:1: expected a port setting (present, mode-readback, bits-readback, "
                              "speed-readback, fail-request), got \"colour\""},
        {"gpio 896", "bad.scn:1: expected a GPIO setting (reads, broken, absent), got the end of the line"},
        {"gpio 903-854 absent yes",
         "bad.scn:1: expected a GPIO number 0 to 100000, or a range FROM-TO, got \"903-854\""},
        {"gpio 0-4096 absent yes", "bad.scn:1: expected a range of at most 4096 lines, got \"0-4096\""},
        {"watchdog timeout-range 5 1",
         "bad.scn:1: expected a longest timeout no shorter than the shortest, got \"1\""},
        {"gpio 896 reads",
         "bad.scn:1: expected the text the value file reads, e.g. 0, 1 or \"1\\n\", got the end "
         "of the line"},
        {"gpio 896 reads \"1", "bad.scn:1: expected a closing \" before the end of the line"},
        {"gpio 896 reads \"\\q\"",
         "bad.scn:1: expected one of the escapes \\0 \\n \\r \\t \\\\ \\\" \\xHH, got \\q"},
        {"gpio 896 reads \"\\x4\"", "bad.scn:1: expected two hex digits after \\x"},
        {"fclk1 speed 5", "bad.scn:1: expected an fclk1 setting (present, readback), got \"speed\""},
        {"vidgen fail", "bad.scn:1: expected yes or no after \"fail\", got the end of the line"},
        {"watchdog stop-after soon", "bad.scn:1: expected a count of keep-alives (0: never), got \"soon\""},
        {"watchdog timeout-readback 1.5", "bad.scn:1: expected a timeout in seconds, or no, got \"1.5\""},
        {"fail-op -3", "bad.scn:1: expected an operation number (0: none), got \"-3\""},
        {"\"chain\" 1 inserted yes",
         "bad.scn:1: expected a setting: chain, spi, gpio, fclk1, vidgen, watchdog, "
         "fail-op or run, got \"chain\""},
        {"chains 1 inserted yes", "bad.scn:1: expected a setting: chain, spi, gpio, fclk1, vidgen, watchdog, "
                                  "fail-op or run, got \"chains\""},
        {"run time-limit 1.5",
         "bad.scn:1: expected a time in whole seconds of board time, 0 to 1000000000 (0: none), got \"1.5\""},
        {"run operation-limit",
         "bad.scn:1: expected a count of board operations (0: none), got the end of the line"},
        {"run forever", "bad.scn:1: expected a run setting (time-limit, operation-limit), got \"forever\""},
        {std::string{"chain 1 type 6\n\0\n", 17}, "bad.scn:2: expected text, got a NUL byte"},
    };
    for (const bad_case &c : cases) {
        scenario s;
        s.chains[1].type = 9;
        EXPECT_EQ(parse_scenario(c.text, "bad.scn", s), c.error) << c.text;
        EXPECT_EQ(s.chains[1].type, 9) << "a refused scenario changes nothing: " << c.text;
    }
}

TEST(scenario, garbage_never_crashes_and_every_refusal_has_a_place) {
    const std::string alphabet = "chain spi gpio fclk1 watchdog * 0 1 7 8 0x 0xff yes no \" \\ # \t\n\r-x";
    std::uint32_t seed = 2024;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int len = round % 80;
        for (int i = 0; i < len; ++i) {
            seed = seed * 1664525 + 1013904223;
            text +=
                (seed >> 28) < 12 ? alphabet[(seed >> 8) % alphabet.size()] : static_cast<char>(seed >> 16);
        }
        scenario s;
        const std::string error = parse_scenario(text, "fuzz", s);
        if (!error.empty()) {
            EXPECT_TRUE(error.starts_with("fuzz:")) << error;
            EXPECT_NE(error.find(": expected "), std::string::npos) << error;
        }
    }
}

} // namespace
