// The chain command set: the checksum, the register frame and the frame trace on their own, then
// every command against the simulated board's chips.
#include "chain_cmd.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

// Bit by bit, straight from the definition, as the reference for the table-driven version.
std::uint16_t crc16_bitwise(const bytes &data) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

bytes ascii(const std::string &text) { return bytes(text.begin(), text.end()); }

std::uint16_t crc_of(const bytes &data) { return crc16_modbus(data.data(), static_cast<std::uint16_t>(data.size())); }

bytes frame_bytes(const std::array<std::uint8_t, reg_frame_len> &frame) { return bytes(frame.begin(), frame.end()); }

// ---- crc16_modbus ----

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
        for (auto &b : data) b = static_cast<std::uint8_t>(byte(random));
        ASSERT_EQ(crc_of(data), crc16_bitwise(data)) << "length " << data.size() << ", round " << round;
    }
}

TEST(Crc16Modbus, CountAbove255IsNotCutToEightBits) {
    const bytes data(300, 0xA5);
    EXPECT_EQ(crc_of(data), crc16_bitwise(data));
    EXPECT_NE(crc_of(data), crc16_bitwise(bytes(300 & 0xFF, 0xA5)));
}

// ---- register frame ----

TEST(RegisterFrame, WorkedFrames) {
    const bytes reg{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
    EXPECT_EQ(frame_bytes(build_reg_frame(0x01, reg.data())),
              (bytes{0x09, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0xA8, 0xE8}));

    const bytes zeros(12, 0x00);
    EXPECT_EQ(frame_bytes(build_reg_frame(0x00, zeros.data())),
              (bytes{0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xC8, 0xB6}));
}

TEST(RegisterFrame, CrcIsTakenPairSwappedAndSentHighByteFirst) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 50; ++round) {
        bytes reg(12);
        for (auto &b : reg) b = static_cast<std::uint8_t>(byte(random));
        const auto chip = static_cast<std::uint8_t>(byte(random));

        bytes expected{0x09, chip};
        expected.insert(expected.end(), reg.begin(), reg.end());
        bytes swapped;
        for (std::size_t k = 0; k < 14; k += 2) swapped.insert(swapped.end(), {expected[k + 1], expected[k]});
        const std::uint16_t crc = crc16_bitwise(swapped);
        expected.insert(expected.end(), {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});

        ASSERT_EQ(frame_bytes(build_reg_frame(chip, reg.data())), expected) << "round " << round;
    }
}

// ---- hexdump ----

bytes counting(std::size_t n) {
    bytes data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i);
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
        {200, groups(192, 200, "\t")},
    };
    for (const auto &c : cases) {
        hexdump("frame", data.data(), c.len);
        EXPECT_EQ(hexdump_line(), c.last_line) << c.len << " bytes";
    }
}

TEST(Hexdump, UpperCaseDigits) {
    const bytes data{0xAB, 0xCD, 0xEF, 0x0F};
    hexdump("x", data.data(), 4);
    EXPECT_STREQ(hexdump_line(), "x: 4 bytes:AB CD EF 0F ");
}

TEST(Hexdump, NothingToDumpLeavesTheLineAlone) {
    const bytes data = counting(3);
    hexdump("before", data.data(), 3);
    const std::string before = hexdump_line();
    hexdump("zero", data.data(), 0);
    EXPECT_EQ(hexdump_line(), before);
    hexdump("negative", data.data(), -4);
    EXPECT_EQ(hexdump_line(), before);
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

TEST(Hexdump, FrameTraceLeavesTheLineAlone) {
    const bytes data = counting(5);
    hexdump("kept", data.data(), 5);
    frame_trace("write reg", data.data(), 5);
    EXPECT_STREQ(hexdump_line(), "kept: 5 bytes:00 01 02 03 04 ");
}

// ---- missing buffers ----

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
        {"bist_start", [](chain_ctx *c) { vexa_cmd_bist_start(c, 1, nullptr); }, "result != \\(\\(void \\*\\)0\\)",
         "send command [bist_start] \n"},
        {"read_result", [](chain_ctx *c) { vexa_cmd_read_result(c, 1, nullptr); }, "res != \\(\\(void \\*\\)0\\)", ""},
        {"read_status", [](chain_ctx *c) { vexa_cmd_read_status(c, 1, nullptr); },
         "status != \\(\\(void \\*\\)0\\)", ""},
        {"write_block", [](chain_ctx *c) { vexa_cmd_write_block(c, 1, nullptr); }, "block != \\(\\(void \\*\\)0\\)",
         ""},
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

} // namespace
