// The chain command set: the checksum, the register frame and the frame trace on their own, then
// every command against the simulated board's chips.
#include "../boardsim/board_fixture.h"
#include "boardsim.h"
#include "chain_cmd.h"
#include "crc_reference.h"
#include "run.h"
#include "zynq_spi.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes ascii(const std::string &text) {
    return bytes(text.begin(), text.end());
}

std::uint16_t crc_of(const bytes &data) {
    return crc16_modbus(data.data(), static_cast<std::uint16_t>(data.size()));
}

bytes frame_bytes(const std::array<std::uint8_t, reg_frame_len> &frame) {
    return bytes(frame.begin(), frame.end());
}

TEST(Crc16Modbus, KnownValues) {
    EXPECT_EQ(crc_of(ascii("123456789")), 0x4B37);
    EXPECT_EQ(crc16_modbus(nullptr, 0), 0xFFFF);
    const std::uint8_t one = 0x5A;
    EXPECT_EQ(crc16_modbus(&one, 0), 0xFFFF);
    EXPECT_EQ(crc_of({0x01, 0x18, 0x22, 0x11, 0x44, 0x33}), 0xA008);
}

TEST(Crc16Modbus, AgreesWithBitwiseReferenceOnRandomInput) {
    std::mt19937 random(20240517);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 600);
    for (int round = 0; round < 400; ++round) {
        bytes data(static_cast<std::size_t>(length(random)));
        for (auto &b : data)
            b = static_cast<std::uint8_t>(byte(random));
        ASSERT_EQ(crc_of(data), testsupport::crc16_modbus_bitwise(data))
            << "length " << data.size() << ", round " << round;
    }
}

TEST(RegisterFrame, WorkedFrames) {
    const bytes reg{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
    EXPECT_EQ(frame_bytes(build_reg_frame(0x01, reg.data())),
              (bytes{0x09, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xA8,
                     0xE8}));

    const bytes zeros(12, 0x00);
    EXPECT_EQ(frame_bytes(build_reg_frame(0x00, zeros.data())),
              (bytes{0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC8, 0xB6}));
}

bytes counting(std::size_t n) {
    bytes data(n);
    for (std::size_t i = 0; i < n; ++i)
        data[i] = static_cast<std::uint8_t>(i);
    return data;
}

std::string groups(std::size_t from, std::size_t to, std::string text = "") {
    char group[4];
    for (std::size_t i = from; i < to; ++i) {
        std::snprintf(group, sizeof group, "%.2X ", static_cast<unsigned>(i & 0xFF));
        text += group;
    }
    return text;
}

TEST(Hexdump, LinesBreakBeforeEvery32ndByte) {
    const bytes data = counting(200);
    struct {
        std::int32_t len;
        std::string last_line;
    } const cases[] = {
        {1, "frame: 1 bytes:00 "},
        {32, groups(0, 32, "frame: 32 bytes:")},
        {33, "\t20 "},
        {64, groups(32, 64, "\t")},
        {65, "\t40 "},
        {200, groups(192, 200, "\t")}, // upper-case digits: C0 to C7
    };
    for (const auto &c : cases) {
        hexdump("frame", data.data(), c.len);
        EXPECT_EQ(hexdump_line(), c.last_line) << c.len << " bytes";
    }
}

TEST(Hexdump, NothingToDumpAndTheFrameTraceLeaveTheLineAlone) {
    const bytes data = counting(3);
    hexdump("before", data.data(), 3);
    hexdump("zero", data.data(), 0);
    hexdump("negative", data.data(), -4);
    frame_trace("write reg", data.data(), 3);
    EXPECT_STREQ(hexdump_line(), "before: 3 bytes:00 01 02 ");
}

// The line holds 511 characters: the label, ": 32 bytes:" (11) and 32 groups (96) leave 404 for the label.
TEST(Hexdump, LongLabelIsCutSoTheLineStillFits) {
    const bytes data = counting(40);
    const std::string fits(404, 'L');
    hexdump(fits.c_str(), data.data(), 32);
    EXPECT_EQ(hexdump_line(), groups(0, 32, fits + ": 32 bytes:"));

    const std::string too_long(5000, 'M');
    hexdump(too_long.c_str(), data.data(), 32);
    EXPECT_EQ(hexdump_line(), groups(0, 32, std::string(404, 'M') + ": 32 bytes:"));

    hexdump(too_long.c_str(), data.data(), 40);
    EXPECT_EQ(hexdump_line(), groups(32, 40, "\t"));
}

// Runs in the death test's child: stdout goes to a file so the parent can see what was written
// before the process stopped.
void stdout_to(const std::string &path) {
    std::fflush(stdout);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) ::dup2(fd, STDOUT_FILENO);
}

TEST(ChainCmdDeathTest, MissingBufferStopsTheProcessNamingIt) {
    GTEST_FLAG_SET(death_test_style, "fast");
    chain_ctx chain{0, nullptr}; // never reached: each check comes before the wire
    testsupport::temp_dir dir;
    struct {
        const char *name;
        void (*call)(chain_ctx *);
        const char *assertion;
        std::string stdout_text;
    } const cases[] = {
        {"write_reg", [](chain_ctx *c) { vexa_cmd_write_reg(c, 1, nullptr); }, "reg != \\(\\(void \\*\\)0\\)",
         "send command [write_reg] \n"},
        {"bist_start", [](chain_ctx *c) { vexa_cmd_bist_start(c, 1, nullptr); },
         "result != \\(\\(void \\*\\)0\\)", "send command [bist_start] \n"},
        {"read_result", [](chain_ctx *c) { vexa_cmd_read_result(c, 1, nullptr); },
         "res != \\(\\(void \\*\\)0\\)", ""},
        {"read_status", [](chain_ctx *c) { vexa_cmd_read_status(c, 1, nullptr); },
         "status != \\(\\(void \\*\\)0\\)", ""},
        {"write_block", [](chain_ctx *c) { vexa_cmd_write_block(c, 1, nullptr); },
         "block != \\(\\(void \\*\\)0\\)", ""},
    };
    for (const auto &c : cases) {
        const std::string out = dir.file(c.name);
        EXPECT_DEATH(
            {
                stdout_to(out);
                c.call(&chain);
            },
            std::string("Assertion `") + c.assertion + "' failed")
            << c.name;
        EXPECT_EQ(testsupport::read_file(out), c.stdout_text) << c.name;
    }
}

// ---- the commands against the simulated chips ----

using lines = std::vector<std::string>;

std::string hex(const bytes &data) {
    std::string text = "[";
    char byte[3];
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(byte, sizeof byte, "%02X", data[i]);
        if (i > 0) text += ' ';
        text += byte;
    }
    return text + "]";
}

// Bytes as a scenario line takes them.
std::string words(const bytes &data) {
    std::string text;
    char word[6];
    for (std::uint8_t b : data) {
        std::snprintf(word, sizeof word, " 0x%02X", b);
        text += word;
    }
    return text;
}

std::string sent(const bytes &data) {
    const std::string n = std::to_string(data.size());
    return "write /dev/spidev0.0 " + hex(data) + " (" + n + ") = " + n;
}

std::string got(std::uint8_t b0, std::uint8_t b1) {
    return "read /dev/spidev0.0 ask 2 = 2 " + hex({b0, b1});
}

// A whole reply as the pair reads that clock it in.
lines got(const bytes &reply) {
    lines out;
    for (std::size_t k = 0; k + 1 < reply.size(); k += 2)
        out.push_back(got(reply[k], reply[k + 1]));
    return out;
}

bytes operator+(bytes a, const bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

lines operator+(lines a, const lines &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
lines operator+(lines a, const std::string &b) {
    a.push_back(b);
    return a;
}
lines repeat(std::size_t n, const std::string &line) {
    return lines(n, line);
}

// CRC of a result reply computed apart from the layer: bytes 0-5 pair-swapped, bit by bit.
bytes with_result_crc(bytes reply) {
    const std::uint16_t crc =
        testsupport::crc16_modbus_bitwise({reply[1], reply[0], reply[3], reply[2], reply[5], reply[4]});
    reply.insert(reply.end(), {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
    return reply;
}

const bytes untouched(16, 0xEE);

class ChainCmdSet : public ::testing::Test {
  protected:
    void SetUp() override { reset_board(); }
    void TearDown() override {
        if (capturing_) wire();
        spi_exit(spi_);
        boardsim::deactivate();
    }

    // Chain 0 on the board the scenario describes, its port open, the trace starting after the open.
    // Output is captured from here until wire().
    [[nodiscard]] bool board(const std::string &scenario) {
        spi_exit(spi_);
        spi_ = nullptr;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        capturing_ = true;
        const std::string error = boardsim::load_scenario(std::string{chips_without_power} + scenario);
        spi_config config{.bus = 0, .cs = 0, .mode = 1, .speed = 1500000, .bits = 8, .delay = 0};
        if (error.empty()) spi_ = spi_init(&config);
        chain_ = chain_ctx{0, spi_};
        boardsim::clear_trace();
        if (spi_ != nullptr) return true;
        wire();
        ADD_FAILURE() << "board: " << (error.empty() ? "port 0 did not open" : error);
        return false;
    }

    // The board operations since board(), without their numbers, and what the layer printed.
    lines wire() {
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        capturing_ = false;
        lines result;
        for (const std::string &line : boardsim::trace({.time = false, .fd_numbers = false}))
            result.push_back(line.substr(line.find(' ') + 1));
        return result;
    }

    std::vector<std::string> frame_kinds() const {
        std::vector<std::string> kinds;
        for (const boardsim::frame &f : boardsim::frames(0))
            kinds.push_back(f.kind);
        return kinds;
    }

    spi_ctx *spi_ = nullptr;
    chain_ctx chain_{};
    std::string out_, err_;
    bool capturing_ = false;
};

TEST_F(ChainCmdSet, SelfTestCommandsAnnounceThemselvesAndReadTheirWholeReply) {
    struct {
        const char *kind;
        std::uint8_t opcode;
        std::uint8_t (*run)(chain_ctx *, std::uint8_t, bytes &);
        const char *line;
        bytes delivered; // the caller's 4-byte buffer after the call
    } const cases[] = {
        {"bist_start",
         0x01,
         [](chain_ctx *c, std::uint8_t id, bytes &b) { return vexa_cmd_bist_start(c, id, b.data()); },
         "send command [bist_start] \n",
         {0x31, 0xAB, 0xCD, 0xEF}},
        {"bist_collect",
         0x0B,
         [](chain_ctx *c, std::uint8_t id, bytes &) { return vexa_cmd_bist_collect(c, id); },
         "send command [bist_collect] \n",
         {0xEE, 0xEE, 0xEE, 0xEE}},
        {"bist_fix",
         0x03,
         [](chain_ctx *c, std::uint8_t id, bytes &) { return vexa_cmd_bist_fix(c, id); },
         "send command [bist_fix] \n",
         {0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        const bytes reply{static_cast<std::uint8_t>(0x30 | c.opcode), 0xAB, 0xCD, 0xEF, 0x12, 0x34};
        ASSERT_TRUE(board("chain 0 noise 2 0x00 0x00\nchain 0 reply " + std::string(c.kind) + words(reply)));
        bytes buffer(4, 0xEE);
        EXPECT_EQ(c.run(&chain_, 0x05, buffer), 1);
        EXPECT_EQ(wire(),
                  (lines{sent({c.opcode, 0x05}), sent({0x00, 0x00}), got(0, 0), got(0, 0)} + got(reply)));
        EXPECT_EQ(buffer, c.delivered);
        EXPECT_EQ(out_, c.line);
        EXPECT_EQ(err_, "");
        EXPECT_EQ(frame_kinds(), std::vector<std::string>{c.kind});
    }
}

TEST_F(ChainCmdSet, SelfTestStartFailsWithItsBufferUntouched) {
    struct {
        const char *name;
        std::string scenario;
        lines wire;
        std::string err;
    } const cases[] = {
        {"silent chain", "chain 0 silent 0xFF",
         lines{sent({0x01, 0x00}), sent({0x00, 0x00})} + repeat(144, got(0xFF, 0xFF)), ""},
        {"reply past the budget", "chain 0 noise 144 0x10 0x01",
         lines{sent({0x01, 0x00}), sent({0x00, 0x00})} + repeat(144, got(0x10, 0x01)), ""},
        {"second pair not sent",
         "chain 0 fail-writes after 1",
         {sent({0x01, 0x00}), "write /dev/spidev0.0 [00 00] (2) = -1 EIO"},
         ""},
        {"read fails",
         "chain 0 fail-reads all",
         {sent({0x01, 0x00}), sent({0x00, 0x00}), "read /dev/spidev0.0 ask 2 = -1 EIO"},
         "spi_poll_result spi_read_data failed.\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(board(c.scenario));
        bytes buffer(4, 0xEE);
        EXPECT_EQ(vexa_cmd_bist_start(&chain_, 0, buffer.data()), 0);
        EXPECT_EQ(wire(), c.wire);
        EXPECT_EQ(buffer, bytes(4, 0xEE));
        EXPECT_EQ(out_, "send command [bist_start] \n");
        EXPECT_EQ(err_, c.err);
    }
}

TEST_F(ChainCmdSet, RegisterWriteSendsOneFrameWithItsCrcAndReadsTheEcho) {
    struct {
        std::uint8_t chip;
        bytes reg;
        bytes frame;
    } const cases[] = {
        {0x01,
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C},
         {0x09, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xA8, 0xE8}},
        {0x00, bytes(12, 0x00), {0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC8, 0xB6}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(hex(c.frame));
        ASSERT_TRUE(board(""));
        EXPECT_EQ(vexa_cmd_write_reg(&chain_, c.chip, c.reg.data()), 1);
        bytes echo{0x09, 0x00};
        echo.insert(echo.end(), c.frame.begin() + 2, c.frame.end());
        EXPECT_EQ(wire(), lines{sent(c.frame)} + got(echo));
        EXPECT_EQ(out_, "send command [write_reg] \n");
        EXPECT_EQ(err_, "");
        const std::vector<boardsim::frame> frames = boardsim::frames(0);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].kind, "write_reg");
        EXPECT_TRUE(frames[0].crc_ok);
    }
}

TEST_F(ChainCmdSet, RegisterWriteFailures) {
    const bytes reg(12, 0x5A);
    const bytes frame = frame_bytes(build_reg_frame(0x02, reg.data()));

    ASSERT_TRUE(board("chain 0 fail-writes all"));
    EXPECT_EQ(vexa_cmd_write_reg(&chain_, 0x02, reg.data()), 0);
    EXPECT_EQ(wire(), lines{"write /dev/spidev0.0 " + hex(frame) + " (16) = -1 EIO"});
    EXPECT_EQ(out_, "send command [write_reg] \n");

    ASSERT_TRUE(board("chain 0 silent 0x00"));
    EXPECT_EQ(vexa_cmd_write_reg(&chain_, 0x02, reg.data()), 0);
    EXPECT_EQ(wire(), lines{sent(frame)} + repeat(144, got(0, 0)));
    EXPECT_EQ(err_, "");
}

struct read_case {
    const char *name;
    std::string scenario;
    std::uint8_t result;
    bytes buffer; // the caller's buffer afterwards; untouched unless the read succeeded
    lines reads;  // the pair reads after the 2-byte frame
};

const bytes default_result{0x18, 0x01, 0x11, 0x22, 0x33, 0x44, 0xA0, 0x08};

TEST_F(ChainCmdSet, ResultReadAcceptsOnlyAHeaderWithDataAndACorrectCrc) {
    const bytes other = with_result_crc({0xF8, 0x7F, 0x00, 0xFF, 0x10, 0x01});
    const bytes noise_reply = with_result_crc({0x18, 0x01, 0x18, 0x01, 0x18, 0x01});
    ASSERT_NE(bytes(noise_reply.begin() + 6, noise_reply.end()), (bytes{0x18, 0x01}))
        << "the mismatch case below needs 18 01 to be a wrong CRC for 18 01 18 01 18 01";
    const read_case cases[] = {
        {"worked reply", "", 1, default_result, got(default_result)},
        {"any high nibble", "chain 0 result 0xF8 0x7F 0x00 0xFF 0x10 0x01", 1, other, got(other)},
        {"header with a zero second byte skipped", "chain 0 result-zero-first yes", 1, default_result,
         got({0x18, 0x00, 0, 0, 0, 0, 0, 0}) + got(default_result)},
        {"noise within the budget", "chain 0 noise 143 0x08 0x00", 1, default_result,
         repeat(143, got(0x08, 0x00)) + got(default_result)},
        {"noise past the budget", "chain 0 noise 144 0x28 0x00", 0, untouched, repeat(144, got(0x28, 0x00))},
        {"a header byte in second place is not a header", "chain 0 noise 144 0x00 0x18", 0, untouched,
         repeat(144, got(0x00, 0x18))},
        {"wrong opcode never accepted", "chain 0 result 0x81 0x01 0x11 0x22 0x33 0x44", 0, untouched,
         got(with_result_crc({0x81, 0x01, 0x11, 0x22, 0x33, 0x44})) + repeat(140, got(0, 0))},
        {"crc mismatch ends the read at once", "chain 0 noise 4 0x18 0x01", 0, untouched,
         repeat(4, got(0x18, 0x01))},
        {"read fails",
         "chain 0 fail-reads after 2",
         0,
         untouched,
         {got(0x18, 0x01), got(0x11, 0x22), "read /dev/spidev0.0 ask 2 = -1 EIO"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(board(c.scenario));
        bytes res = untouched;
        EXPECT_EQ(vexa_cmd_read_result(&chain_, 0x07, res.data()), c.result);
        EXPECT_EQ(wire(), (lines{sent({0x08, 0x07})} + c.reads));
        bytes expected = c.buffer;
        expected.resize(16, 0xEE);
        EXPECT_EQ(res, expected);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(err_, "");
    }
}

TEST_F(ChainCmdSet, ResultReadWithTheChipsWrongCrcFailsAfterOneReply) {
    ASSERT_TRUE(board("chain 0 result-crc bad"));
    bytes res = untouched;
    EXPECT_EQ(vexa_cmd_read_result(&chain_, 0, res.data()), 0);
    const lines w = wire();
    ASSERT_EQ(w.size(), 5u) << "the frame and the four pairs of one reply, no further poll";
    EXPECT_EQ(lines(w.begin() + 1, w.begin() + 4), got({0x18, 0x01, 0x11, 0x22, 0x33, 0x44}));
    EXPECT_NE(w[4], got(0xA0, 0x08));
    EXPECT_EQ(res, untouched);
}

TEST_F(ChainCmdSet, StatusReadAcceptsOnlyHeader1A) {
    const bytes status{0, 1, 2, 3, 4, 5, 6, 7, 8, 0xFE, 10, 11, 12, 13};
    bytes reply{0x1A, 0x00};
    reply.insert(reply.end(), status.begin(), status.end());
    const std::string with_status = "chain 0 status 0 1 2 3 4 5 6 7 8 0xFE 10 11 12 13\n";
    const read_case cases[] = {
        {"status delivered", with_status, 1, status, got(reply)},
        {"a 0A header is refused, the 1A one after it read", with_status + "chain 0 status-0a-first yes", 1,
         status, got(bytes{0x0A, 0x00} + bytes(14, 0)) + got(reply)},
        {"noise within the budget", with_status + "chain 0 noise 143 0x1B 0x1A", 1, status,
         repeat(143, got(0x1B, 0x1A)) + got(reply)},
        {"0A headers only", with_status + "chain 0 noise 144 0x0A 0x00", 0, untouched,
         repeat(144, got(0x0A, 0x00))},
        {"silent chain", "chain 0 silent 0xFF", 0, untouched, repeat(144, got(0xFF, 0xFF))},
        {"read fails in the body", with_status + "chain 0 fail-reads after 5", 0, untouched,
         got(bytes(reply.begin(), reply.begin() + 10)) + "read /dev/spidev0.0 ask 2 = -1 EIO"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(board(c.scenario));
        bytes buffer = untouched;
        EXPECT_EQ(vexa_cmd_read_status(&chain_, 0x03, buffer.data()), c.result);
        EXPECT_EQ(wire(), (lines{sent({0x0A, 0x03})} + c.reads));
        bytes expected = c.buffer;
        expected.resize(16, 0xEE);
        EXPECT_EQ(buffer, expected);
        EXPECT_EQ(out_, "");
        EXPECT_EQ(err_, "");
    }
}

TEST_F(ChainCmdSet, FrameWriteFailureEndsEveryReadAndJudgedCommandWithoutReading) {
    const bytes block(block_len, 0x11);
    struct {
        const char *name;
        std::uint8_t (*run)(chain_ctx *, const bytes &);
        std::string failed_write;
    } const cases[] = {
        {"read_result",
         [](chain_ctx *c, const bytes &) {
             bytes res(8);
             return vexa_cmd_read_result(c, 1, res.data());
         },
         "write /dev/spidev0.0 [08 01] (2) = -1 EIO"},
        {"read_status",
         [](chain_ctx *c, const bytes &) {
             bytes status(14);
             return vexa_cmd_read_status(c, 1, status.data());
         },
         "write /dev/spidev0.0 [0A 01] (2) = -1 EIO"},
        {"reset_check", [](chain_ctx *c, const bytes &) { return vexa_cmd_reset_check(c, 1); },
         "write /dev/spidev0.0 [04 01 ED ED 00 00] (6) = -1 EIO"},
        {"write_block", [](chain_ctx *c, const bytes &b) { return vexa_cmd_write_block(c, 1, b.data()); },
         "write /dev/spidev0.0 " + hex(block) + " (92) = -1 EIO"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(board("chain 0 fail-writes all"));
        EXPECT_EQ(c.run(&chain_, block), 0);
        EXPECT_EQ(wire(), lines{c.failed_write});
        EXPECT_EQ(out_ + err_, "");
    }
}

TEST_F(ChainCmdSet, StatusFlagIsBit0OfStatusByte9Inverted) {
    struct {
        std::string scenario;
        std::uint8_t flag;
    } const cases[] = {
        {"chain 0 status 0 0 0 0 0 0 0 0 0 0xFE 0 0 0 0", 1},
        {"chain 0 status 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0x01 0xFF 0xFF 0xFF 0xFF", 0},
        {"chain 0 status 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFE 0xFF 0xFF 0xFF 0xFF", 1},
        {"chain 0 status-flag 1", 0},
        {"chain 0 silent 0x00", 255},
        {"chain 0 fail-reads all", 255},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.scenario);
        ASSERT_TRUE(board(c.scenario));
        EXPECT_EQ(vexa_cmd_status_flag(&chain_, 0x04), c.flag);
        EXPECT_EQ(wire().front(), sent({0x0A, 0x04}));
        EXPECT_EQ(frame_kinds(), std::vector<std::string>{"read_status"});
    }
}

// The marked reset succeeds when the status flag reads 1 afterwards, the block write when it reads 0.
TEST_F(ChainCmdSet, MarkedResetAndBlockWriteAreJudgedByTheStatusFlag) {
    bytes block(block_len);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(0xC0 + i);
    const bytes marked{0x04, 0x06, 0xED, 0xED, 0x00, 0x00};
    const lines status_read = lines{sent({0x0A, 0x06})} + got(bytes{0x1A, 0x00} + bytes(14, 0));
    bytes flagged_reply{0x1A, 0x00};
    flagged_reply.resize(16, 0);
    flagged_reply[11] = 0x01;
    const lines flagged_read = lines{sent({0x0A, 0x06})} + got(flagged_reply);
    const lines silent_read = lines{sent({0x0A, 0x06})} + repeat(144, got(0, 0));

    struct {
        const char *name;
        std::string scenario;
        std::uint8_t reset_check;
        lines reset_wire;
        std::uint8_t write_block;
        lines block_wire;
    } const cases[] = {
        {"flag clear", "", 1, lines{sent(marked)} + got({0x64, 0, 0, 0, 0, 0}) + status_read, 0,
         lines{sent(block)} + status_read},
        {"flag set", "chain 0 status-flag 1", 0,
         lines{sent(marked)} + got({0x64, 0, 0, 0, 0, 0}) + flagged_read, 1,
         lines{sent(block)} + flagged_read},
        {"no reset reply, flag clear", "chain 0 reply marked_reset 0 0 0 0 0 0", 1,
         lines{sent(marked)} + repeat(144, got(0, 0)) + status_read, 0, lines{sent(block)} + status_read},
        {"status unreadable", "chain 0 silent 0x00", 0,
         lines{sent(marked)} + repeat(144, got(0, 0)) + silent_read, 0, lines{sent(block)} + silent_read},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(board(c.scenario));
        EXPECT_EQ(vexa_cmd_reset_check(&chain_, 0x06), c.reset_check);
        EXPECT_EQ(wire(), c.reset_wire);
        EXPECT_EQ(out_ + err_, "");

        ASSERT_TRUE(board(c.scenario));
        EXPECT_EQ(vexa_cmd_write_block(&chain_, 0x06, block.data()), c.write_block);
        EXPECT_EQ(wire(), c.block_wire);
        EXPECT_EQ(out_ + err_, "");
        const std::vector<boardsim::frame> frames = boardsim::frames(0);
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0].kind, "block");
        EXPECT_EQ(frames[0].bytes, block);
    }
}

} // namespace
