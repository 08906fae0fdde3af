// Command framing, the reply hunt and the reset, in-process against the simulated chips.
#include "board_ops.h"
#include "chain_cmd.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A chain whose port is open; the trace starts after the port's configuration.
class chain_layer : public board_test {
  protected:
    void open_chain(std::string_view scenario = "") {
        if (!scenario.empty()) load(scenario);
        spi = spi_init(&config);
        ASSERT_NE(spi, nullptr);
        chain = chain_ctx{.index = 0, .spi = spi};
        boardsim::clear_trace();
    }
    void TearDown() override {
        spi_exit(spi);
        board_test::TearDown();
    }
    // Just the data lines of the port: "write [..]" and "read [..]".
    static std::vector<std::string> wire() {
        std::vector<std::string> lines;
        for (const std::string &l : board_ops()) {
            if (l.rfind("write /dev/spidev0.0 ", 0) == 0) lines.push_back("w " + l.substr(l.find('[')));
            if (l.rfind("read /dev/spidev0.0 ", 0) == 0) lines.push_back("r " + l.substr(l.find(" = ") + 3));
        }
        return lines;
    }

    spi_config config{.bus = 0, .cs = 0, .mode = 1, .speed = 1500000, .bits = 8, .delay = 0};
    spi_ctx *spi = nullptr;
    chain_ctx chain{};
};

TEST_F(chain_layer, frames_are_padded_to_whole_pairs) {
    open_chain("chain 0 inserted no"); // an empty slot swallows every frame
    const std::uint8_t payload[] = {0xA1, 0xA2, 0xA3};
    EXPECT_EQ(spi_send_command(&chain, 0x07, 0x05, payload, 0), 1);
    EXPECT_EQ(spi_send_command(&chain, 0x07, 0x05, payload, 1), 1);
    EXPECT_EQ(spi_send_command(&chain, 0x07, 0x05, payload, 2), 1);
    EXPECT_EQ(spi_send_command(&chain, 0x07, 0x05, payload, 3), 1);
    EXPECT_THAT(wire(),
                ElementsAre("w [07 05] (2) = 2",                                             // 0 bytes
                            "w [07 05] (2) = 2", "w [A1 00] (2) = 2",                        // 1 byte, pad
                            "w [07 05] (2) = 2", "w [A1 A2] (2) = 2",                        // 2 bytes
                            "w [07 05] (2) = 2", "w [A1 A2] (2) = 2", "w [A3 00] (2) = 2")); // 3 bytes
}

TEST_F(chain_layer, the_largest_frame_goes_out_and_anything_larger_is_refused_unsent) {
    open_chain("chain 0 inserted no");
    std::uint8_t payload[300] = {};
    payload[253] = 0xEE;
    EXPECT_EQ(spi_send_command(&chain, 1, 0, payload, 255), 0);
    EXPECT_EQ(spi_send_command(&chain, 1, 0, payload, -1), 0);
    EXPECT_EQ(spi_write_words(spi, payload, 257), 0);
    EXPECT_EQ(spi_write_words(spi, payload, -2), 0);
    EXPECT_THAT(wire(), IsEmpty());

    EXPECT_EQ(spi_send_command(&chain, 1, 0, payload, 254), 1);
    const auto lines = wire();
    ASSERT_EQ(lines.size(), 128u);
    EXPECT_EQ(lines.back(), "w [00 EE] (2) = 2");
}

TEST_F(chain_layer, a_failed_pair_write_stops_the_frame) {
    open_chain();
    boardsim::fail_op(2);
    const std::uint8_t payload[] = {0, 0};
    EXPECT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 0);
    EXPECT_THAT(board_ops(), ElementsAre("write /dev/spidev0.0 [04 00] (2) = 2",
                                         "write /dev/spidev0.0 [00 00] (2) = -1 EIO (injected)"));
}

TEST_F(chain_layer, an_odd_word_count_pads_the_last_pair_and_an_empty_one_still_sends_a_pair) {
    open_chain("chain 0 inserted no");
    const std::uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(spi_write_words(spi, data, 3), 1);
    EXPECT_EQ(spi_write_words(spi, data, 0), 1);
    EXPECT_THAT(wire(), ElementsAre("w [01 02] (2) = 2", "w [03 00] (2) = 2", "w [00 00] (2) = 2"));
}

using chain_layer_death = chain_layer;

TEST_F(chain_layer_death, a_missing_payload_stops_the_process_even_for_no_bytes) {
    open_chain();
    EXPECT_DEATH(spi_send_command(&chain, 4, 0, nullptr, 0),
                 "spi_send_command.*buff != \\(\\(void \\*\\)0\\)");
}

TEST_F(chain_layer, the_hunt_matches_the_low_nibble_of_a_pairs_first_byte_only) {
    // 0x40 and a header in the second byte of a pair are noise; 0x14 is a reset reply.
    open_chain("chain 0 noise 2 0x40 0x04\nchain 0 reply reset 0x14 0x77 1 2 3 4");
    const std::uint8_t payload[] = {0, 0};
    ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
    boardsim::clear_trace();
    std::uint8_t dst[4] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spi_poll_result(&chain, 4, 0x33, dst, 4), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(dst, ElementsAre(0x14, 0x77, 1, 2));
    EXPECT_THAT(wire(),
                ElementsAre("r 2 [40 04]", "r 2 [40 04]", "r 2 [14 77]", "r 2 [01 02]", "r 2 [03 04]"));
}

TEST_F(chain_layer, headers_with_any_high_nibble_match) {
    for (const char *header : {"0x04", "0x14", "0xF4"}) {
        SCOPED_TRACE(header);
        reset_board();
        open_chain(std::string{"chain 0 noise 2 0x00 0x04\nchain 0 reply reset "} + header + " 0 0 0 0 0");
        const std::uint8_t payload[] = {0, 0};
        ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
        std::uint8_t dst[4] = {};
        EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 4), 1);
        EXPECT_EQ(wire().size(), 2 + 2 + 3u); // frame, two noise pairs, header and two body pairs
        spi_exit(spi);
        spi = nullptr;
    }
}

TEST_F(chain_layer, a_chain_that_never_matches_is_given_up_after_144_pairs_silently) {
    for (const char *byte : {"0x00", "0xFF"}) {
        SCOPED_TRACE(byte);
        reset_board();
        open_chain(std::string{"chain 0 silent "} + byte);
        std::uint8_t dst[4] = {9, 9, 9, 9};
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 4), 0);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(wire().size(), 144u);
        EXPECT_THAT(dst, ElementsAre(9, 9, 9, 9));
        spi_exit(spi);
        spi = nullptr;
    }
}

TEST_F(chain_layer, a_read_failure_while_hunting_is_reported_but_not_inside_the_body) {
    open_chain("chain 0 fail-reads after 2\nchain 0 noise 2");
    std::uint8_t dst[4] = {};
    const std::uint8_t payload[] = {0, 0};
    ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 4), 0); // noise, then the third read fails
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "spi_poll_result spi_read_data failed.\n");

    spi_exit(spi);
    reset_board();
    open_chain("chain 0 fail-reads after 1");
    ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 4), 0); // header read, body read fails
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(dst, ElementsAre(0, 0, 0, 0));
}

TEST_F(chain_layer, the_body_is_read_in_whole_pairs_and_cut_to_the_length_asked) {
    open_chain("chain 0 reply reset 0x64 0x01 2 3 4 5");
    const std::uint8_t payload[] = {0, 0};
    ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
    boardsim::clear_trace();
    std::uint8_t dst[8] = {};
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 5), 1);
    EXPECT_THAT(dst, ElementsAre(0x64, 0x01, 2, 3, 4, 0, 0, 0));
    EXPECT_EQ(wire().size(), 4u); // header pair and three body pairs
}

TEST_F(chain_layer, a_length_of_zero_reads_one_body_pair_and_delivers_nothing) {
    open_chain();
    const std::uint8_t payload[] = {0, 0};
    ASSERT_EQ(spi_send_command(&chain, 4, 0, payload, 2), 1);
    std::uint8_t dst[1] = {0xAB};
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 0), 1);
    EXPECT_EQ(dst[0], 0xAB);
    EXPECT_EQ(wire().size(), 2u + 2u);
}

TEST_F(chain_layer, reply_lengths_beyond_the_buffer_are_refused_unread) {
    open_chain();
    std::uint8_t dst[400] = {};
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, 347), 0);
    EXPECT_EQ(spi_poll_result(&chain, 4, 0, dst, -1), 0);
    EXPECT_THAT(wire(), IsEmpty());
}

TEST_F(chain_layer, reset_sends_the_frame_in_pairs_and_reads_exactly_two_more_pairs) {
    open_chain("chain 0 noise 3");
    std::uint8_t buf[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vexa_cmd_reset(&chain, 0x02, buf, 6), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "send command [reset] \n");
    EXPECT_THAT(buf, ElementsAre(0x64, 0x00, 0x00, 0x00, 0xAA, 0xAA));
    EXPECT_THAT(wire(), ElementsAre("w [04 02] (2) = 2", "w [00 00] (2) = 2", "r 2 [00 00]", "r 2 [00 00]",
                                    "r 2 [00 00]", "r 2 [64 00]", "r 2 [00 00]", "r 2 [00 00]"));
    ASSERT_EQ(boardsim::frames(0).size(), 1u);
    EXPECT_EQ(boardsim::frames(0)[0].kind, "reset");
}

TEST_F(chain_layer, reset_into_a_small_buffer_warns_still_resets_and_writes_nothing) {
    open_chain();
    std::uint8_t buf[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vexa_cmd_reset(&chain, 0, buf, 3), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "send command [reset] \nvexa_cmd_reset:buf is too small.\n");
    EXPECT_THAT(buf, ElementsAre(0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA));
    EXPECT_EQ(wire().size(), 2u + 3u); // the reset went out and its reply was read
}

TEST_F(chain_layer, reset_failures_name_the_step_that_failed) {
    open_chain("chain 0 fail-writes all");
    std::uint8_t buf[4] = {};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vexa_cmd_reset(&chain, 0, buf, 4), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "send command [reset] \nspi_send_command fail.\n");

    spi_exit(spi);
    reset_board();
    open_chain("chain 0 silent 0x00");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(vexa_cmd_reset(&chain, 0, buf, 4), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "send command [reset] \nspi_poll_result fail.\n");
    EXPECT_THAT(buf, ElementsAre(0, 0, 0, 0));
}

TEST_F(chain_layer, zeros_go_out_in_one_write_and_nothing_is_read) {
    open_chain();
    EXPECT_EQ(spi_send_zeros(&chain), 1);
    const auto lines = wire();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(
        lines[0], "w [" + [] {
            std::string zeros;
            for (int i = 0; i < 64; ++i)
                zeros += i == 0 ? "00" : " 00";
            return zeros;
        }() + "] (64) = 64");
}

} // namespace
