// The chips behind a port: every command of the chain protocol, as the chain layer and raw writes send it.
#include "board_fixture.h"
#include "chain_cmd.h"
#include "zynq_spi.h"

#include <array>

namespace {

class chips : public board_test {
  protected:
    // Opens chain n's port the way the probe does and wraps it in a chain object.
    void open_chain(int n) {
        config_ = spi_config{.bus = n, .cs = 0, .mode = 1, .speed = 1500000, .bits = 8, .delay = 0};
        spi_ = spi_init(&config_);
        ASSERT_NE(spi_, nullptr);
        chain_ = chain_ctx{n, spi_};
    }
    void TearDown() override {
        spi_exit(spi_);
        board_test::TearDown();
    }
    int fd() const { return spi_->fd; }

    // The whole bytes each read delivered, in order, from the trace of port n.
    static std::vector<std::string> spi_reads(int n) {
        std::vector<std::string> reads;
        const std::string prefix = "read /dev/spidev" + std::to_string(n) + ".0";
        for (const std::string &line : trace_from())
            if (line.find(prefix) != std::string::npos) reads.push_back(line.substr(line.find(" ask ")));
        return reads;
    }

    spi_config config_{};
    spi_ctx *spi_ = nullptr;
    chain_ctx chain_{};
};

TEST_F(chips, reset_answers_with_the_type_code_and_its_pairs_show_in_the_trace) {
    open_chain(0);
    std::array<std::uint8_t, 6> buf{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), 1);
    EXPECT_EQ(buf, (std::array<std::uint8_t, 6>{0x64, 0x00, 0x00, 0x00, 0xEE, 0xEE}));
    EXPECT_EQ(trace_from("write /dev/spidev0.0"), (std::vector<std::string>{
                                                      "#8 write /dev/spidev0.0 [04 00] (2) = 2",
                                                      "#9 write /dev/spidev0.0 [00 00] (2) = 2",
                                                      "#10 read /dev/spidev0.0 ask 2 = 2 [64 00]",
                                                      "#11 read /dev/spidev0.0 ask 2 = 2 [00 00]",
                                                      "#12 read /dev/spidev0.0 ask 2 = 2 [00 00]",
                                                  }));
    const std::vector<boardsim::frame> frames = boardsim::frames(0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, "reset");
    EXPECT_EQ(frames[0].bytes, (bytes{0x04, 0x00, 0x00, 0x00}));
}

TEST_F(chips, every_type_code_lands_in_the_high_nibble_of_reply_byte_0) {
    for (int code = 0; code < 16; ++code) {
        SCOPED_TRACE(code);
        load("chain 3 inserted yes\nchain 3 type " + std::to_string(code));
        open_chain(3);
        std::array<std::uint8_t, 4> buf{};
        ASSERT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), 1);
        EXPECT_EQ(buf[0], (code << 4) | 4);
        spi_exit(spi_);
        spi_ = nullptr;
    }
}

TEST_F(chips, a_scenario_sets_the_whole_reset_reply) {
    load("chain 0 reply reset 0xB4 0x11 0x22 0x33 0x44 0x55");
    open_chain(0);
    std::array<std::uint8_t, 4> buf{};
    ASSERT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), 1);
    EXPECT_EQ(buf, (std::array<std::uint8_t, 4>{0xB4, 0x11, 0x22, 0x33}));
    EXPECT_EQ(read_bytes(fd(), 2), (bytes{0x00, 0x00})) << "the last body pair was read by the poll";
}

TEST_F(chips, noise_pairs_come_before_the_reply) {
    load("chain 0 noise 3 0x12 0x34");
    open_chain(0);
    std::array<std::uint8_t, 4> buf{};
    ASSERT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), 1);
    EXPECT_EQ(buf[0], 0x64);
    EXPECT_EQ(spi_reads(0),
              (std::vector<std::string>{" ask 2 = 2 [12 34]", " ask 2 = 2 [12 34]", " ask 2 = 2 [12 34]",
                                        " ask 2 = 2 [64 00]", " ask 2 = 2 [00 00]", " ask 2 = 2 [00 00]"}));
}

TEST_F(chips, a_silent_chain_clocks_out_its_idle_byte_and_the_poll_gives_up_after_144_pairs) {
    for (const char *idle : {"0x00", "0xff"}) {
        SCOPED_TRACE(idle);
        load(std::string{"chain 0 silent "} + idle);
        open_chain(0);
        std::array<std::uint8_t, 4> buf{};
        EXPECT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), 0);
        const std::vector<std::string> reads = spi_reads(0);
        EXPECT_EQ(reads.size(), 144u);
        const std::string pair = std::string{idle} == "0x00" ? " ask 2 = 2 [00 00]" : " ask 2 = 2 [FF FF]";
        EXPECT_EQ(std::count(reads.begin(), reads.end(), pair), 144);
        ASSERT_EQ(boardsim::frames(0).size(), 1u) << "a silent chain still receives the frame";
        spi_exit(spi_);
        spi_ = nullptr;
    }
}

TEST_F(chips, a_slot_without_a_hash_board_receives_nothing_and_reads_zeros) {
    load("chain 1 inserted no");
    open_chain(1);
    ASSERT_TRUE(write_bytes(fd(), {0x04, 0x00}));
    ASSERT_TRUE(write_bytes(fd(), {0x00, 0x00}));
    EXPECT_EQ(read_bytes(fd(), 4), (bytes{0, 0, 0, 0}));
    EXPECT_TRUE(boardsim::frames(1).empty());
}

TEST_F(chips, failing_reads_and_writes_start_after_the_count_the_scenario_gives) {
    struct failure_case {
        const char *setting;
        std::uint8_t result;
        std::vector<std::string> spi_lines; // from the first frame write on
    };
    const std::vector<failure_case> cases{
        {"chain 0 fail-reads all",
         0,
         {"write /dev/spidev0.0 [04 00] (2) = 2", "write /dev/spidev0.0 [00 00] (2) = 2",
          "read /dev/spidev0.0 ask 2 = -1 EIO"}},
        {"chain 0 fail-reads after 1",
         0,
         {"write /dev/spidev0.0 [04 00] (2) = 2", "write /dev/spidev0.0 [00 00] (2) = 2",
          "read /dev/spidev0.0 ask 2 = 2 [64 00]", "read /dev/spidev0.0 ask 2 = -1 EIO"}},
        {"chain 0 fail-writes after 1",
         0,
         {"write /dev/spidev0.0 [04 00] (2) = 2", "write /dev/spidev0.0 [00 00] (2) = -1 EIO"}},
        {"chain 0 fail-writes all", 0, {"write /dev/spidev0.0 [04 00] (2) = -1 EIO"}},
    };
    for (const failure_case &c : cases) {
        SCOPED_TRACE(c.setting);
        load(c.setting);
        open_chain(0);
        std::array<std::uint8_t, 4> buf{};
        EXPECT_EQ(vexa_cmd_reset(&chain_, 0, buf.data(), buf.size()), c.result);
        std::vector<std::string> lines;
        for (const std::string &line : trace_from("write /dev/spidev0.0"))
            lines.push_back(line.substr(line.find(' ') + 1));
        EXPECT_EQ(lines, c.spi_lines);
        spi_exit(spi_);
        spi_ = nullptr;
    }
    EXPECT_TRUE(boardsim::frames(0).empty()) << "a frame whose second pair failed never reached the chips";
}

TEST_F(chips, self_test_commands_go_out_in_pairs_and_answer_with_their_opcode) {
    open_chain(0);
    static constexpr std::uint8_t payload[2] = {0, 0};
    const std::array<std::pair<std::uint8_t, const char *>, 3> commands{
        {{0x01, "bist_start"}, {0x0B, "bist_collect"}, {0x03, "bist_fix"}}};
    for (const auto &[opcode, kind] : commands) {
        SCOPED_TRACE(kind);
        ASSERT_EQ(spi_send_command(&chain_, opcode, 2, payload, 2), 1);
        std::array<std::uint8_t, 4> reply{};
        ASSERT_EQ(spi_poll_result(&chain_, opcode, 2, reply.data(), 4), 1);
        EXPECT_EQ(reply, (std::array<std::uint8_t, 4>{opcode, 0, 0, 0}));
        EXPECT_EQ(boardsim::frames(0).back().kind, kind);
        EXPECT_EQ(boardsim::frames(0).back().bytes, (bytes{opcode, 2, 0, 0}));
    }
    EXPECT_EQ(read_bytes(fd(), 2), (bytes{0, 0})) << "each poll read its whole reply";
}

TEST_F(chips, register_write_with_a_good_crc_is_echoed_and_with_a_bad_one_is_ignored) {
    open_chain(0);
    // The worked frame: chip 1, register bytes 1 to 12, CRC A8 E8.
    const bytes frame{0x09, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                      0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xA8, 0xE8};
    ASSERT_TRUE(write_bytes(fd(), frame));
    bytes expected{0x09, 0x00};
    expected.insert(expected.end(), frame.begin() + 2, frame.end());
    EXPECT_EQ(read_bytes(fd(), 16), expected);
    ASSERT_EQ(boardsim::frames(0).size(), 1u);
    EXPECT_EQ(boardsim::frames(0)[0].kind, "write_reg");
    EXPECT_TRUE(boardsim::frames(0)[0].crc_ok);

    bytes bad = frame;
    bad[15] ^= 0x01;
    ASSERT_TRUE(write_bytes(fd(), bad));
    EXPECT_EQ(read_bytes(fd(), 4), (bytes{0, 0, 0, 0}));
    ASSERT_EQ(boardsim::frames(0).size(), 2u);
    EXPECT_FALSE(boardsim::frames(0)[1].crc_ok);
}

TEST_F(chips, register_write_reply_can_be_set_by_the_scenario) {
    load("chain 0 reply write_reg 0x19 0x01 1 2 3 4 5 6 7 8 9 10 11 12 13 14");
    open_chain(0);
    bytes frame{0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC8, 0xB6};
    ASSERT_TRUE(write_bytes(fd(), frame));
    EXPECT_EQ(read_bytes(fd(), 16), (bytes{0x19, 0x01, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
}

// The CRC of a result reply, computed apart from the model: pair-swapped bytes 0-5, high byte first.
std::uint16_t result_crc(const bytes &reply) {
    return testsupport::crc16_modbus_bitwise({reply[1], reply[0], reply[3], reply[2], reply[5], reply[4]});
}

TEST_F(chips, result_reply_carries_a_correct_crc_unless_the_scenario_spoils_it) {
    EXPECT_EQ(testsupport::crc16_modbus_bitwise({'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0x4B37);

    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x08, 0x00}));
    const bytes reply = read_bytes(fd(), 8);
    EXPECT_EQ(reply, (bytes{0x18, 0x01, 0x11, 0x22, 0x33, 0x44, 0xA0, 0x08}));
    EXPECT_EQ(result_crc(reply), 0xA008);
    EXPECT_EQ(boardsim::frames(0).back().kind, "read_result");

    spi_exit(spi_);
    load("chain 0 result 0x28 0x7f 0x00 0xff 0x10 0x01");
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x08, 0x00}));
    const bytes other = read_bytes(fd(), 8);
    EXPECT_EQ(bytes(other.begin(), other.begin() + 6), (bytes{0x28, 0x7f, 0x00, 0xff, 0x10, 0x01}));
    EXPECT_EQ(other[6] * 256 + other[7], result_crc(other));

    spi_exit(spi_);
    load("chain 0 result-crc bad");
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x08, 0x00}));
    const bytes spoilt = read_bytes(fd(), 8);
    EXPECT_EQ(bytes(spoilt.begin(), spoilt.begin() + 6), (bytes{0x18, 0x01, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_NE(spoilt[6] * 256 + spoilt[7], result_crc(spoilt));
}

TEST_F(chips, result_reply_with_a_zero_second_byte_comes_first_when_asked) {
    load("chain 0 result-zero-first yes\nchain 0 noise 1");
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x08, 0x05}));
    EXPECT_EQ(read_bytes(fd(), 18), (bytes{0x00, 0x00, 0x18, 0x00, 0, 0, 0, 0, 0, 0, 0x18, 0x01, 0x11, 0x22,
                                           0x33, 0x44, 0xA0, 0x08}));
}

TEST_F(chips, status_reply_carries_the_flag_in_bit_0_of_status_byte_9) {
    load("chain 0 status 0 1 2 3 4 5 6 7 8 0xFE 10 11 12 13");
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x0A, 0x00}));
    EXPECT_EQ(read_bytes(fd(), 16), (bytes{0x1A, 0x00, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0xFE, 10, 11, 12, 13}));

    spi_exit(spi_);
    load("chain 0 status-flag 1\nchain 0 status-0a-first yes");
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x0A, 0x00}));
    const bytes decoy = read_bytes(fd(), 16);
    EXPECT_EQ(decoy, (bytes{0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const bytes reply = read_bytes(fd(), 16);
    EXPECT_EQ(reply[0], 0x1A);
    EXPECT_EQ(reply[11], 0x01);
    EXPECT_EQ(boardsim::frames(0).back().kind, "read_status");
}

TEST_F(chips, marked_reset_block_and_zeros_are_told_apart) {
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x04, 0x07, 0xED, 0xED, 0x00, 0x00}));
    EXPECT_EQ(read_bytes(fd(), 6), (bytes{0x64, 0, 0, 0, 0, 0}));

    bytes block(92);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_TRUE(write_bytes(fd(), block));
    ASSERT_EQ(spi_send_zeros(&chain_), 1);
    EXPECT_EQ(read_bytes(fd(), 4), (bytes{0, 0, 0, 0})) << "neither the block nor the zeros are answered";

    // The same marked reset, arriving pair by pair.
    for (const bytes &pair : {bytes{0x04, 0x00}, bytes{0xED, 0xED}, bytes{0x00, 0x00}})
        ASSERT_TRUE(write_bytes(fd(), pair));
    EXPECT_EQ(read_bytes(fd(), 2), (bytes{0x64, 0x00}));

    std::vector<std::string> kinds;
    for (const boardsim::frame &f : boardsim::frames(0))
        kinds.push_back(f.kind);
    EXPECT_EQ(kinds, (std::vector<std::string>{"marked_reset", "block", "zeros", "marked_reset"}));
    EXPECT_EQ(boardsim::frames(0)[1].bytes, block);
    EXPECT_EQ(boardsim::frames(0)[3].bytes, (bytes{0x04, 0x00, 0xED, 0xED, 0x00, 0x00}));
}

TEST_F(chips, a_frame_cut_short_by_a_whole_write_is_recorded_as_incomplete) {
    open_chain(0);
    ASSERT_TRUE(write_bytes(fd(), {0x01, 0x00}));
    ASSERT_TRUE(write_bytes(fd(), {0x0A, 0x00, 0x00, 0x00, 0x00}));
    const std::vector<boardsim::frame> frames = boardsim::frames(0);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, "incomplete");
    EXPECT_EQ(frames[0].bytes, (bytes{0x01, 0x00}));
    EXPECT_EQ(frames[1].kind, "unknown");
    EXPECT_EQ(read_bytes(fd(), 2), (bytes{0, 0}));
}

TEST(crc16_modbus, matches_the_check_value_and_a_bitwise_reference) {
    const bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(boardsim::crc16_modbus(digits.data(), digits.size()), 0x4B37);
    EXPECT_EQ(boardsim::crc16_modbus(nullptr, 0), 0xFFFF);
    bytes data;
    std::uint32_t seed = 12345;
    for (int n = 0; n < 300; ++n) {
        EXPECT_EQ(boardsim::crc16_modbus(data.data(), data.size()), testsupport::crc16_modbus_bitwise(data))
            << "length " << n;
        seed = seed * 1103515245 + 12345;
        data.push_back(static_cast<std::uint8_t>(seed >> 16));
    }
}

} // namespace
