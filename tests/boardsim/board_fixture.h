#pragma once

// A fresh default board for every case, and plain system calls on board files.
#include "boardsim.h"
#include "crc_reference.h"

#include <cstdint>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// The chips of these cases answer without their hash board's power-up, whose waits the probe's own
// cases go through; the power-up has cases of its own.
inline constexpr std::string_view chips_without_power = "chain * needs-power no\n";

// The default board, its chips answering without a power-up, and the scenario's lines on top.
inline void reset_board(std::string_view scenario = "") {
    ASSERT_EQ(boardsim::load_scenario(std::string{chips_without_power} + std::string{scenario}), "");
}

class board_test : public ::testing::Test {
  protected:
    void SetUp() override { reset_board(); }
    void TearDown() override { boardsim::deactivate(); }

    static void load(std::string_view text) { reset_board(text); }

    // The trace without times and descriptor numbers, from the first line that contains `from` on.
    static std::vector<std::string> trace_from(std::string_view from = "") {
        std::vector<std::string> lines = boardsim::trace({.time = false, .fd_numbers = false});
        std::size_t i = 0;
        while (i < lines.size() && lines[i].find(from) == std::string::npos)
            ++i;
        return {lines.begin() + static_cast<std::ptrdiff_t>(i), lines.end()};
    }
};

using bytes = std::vector<std::uint8_t>;

inline bool write_bytes(int fd, const bytes &data) {
    return ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

inline bytes read_bytes(int fd, std::size_t count) {
    bytes data(count);
    const ssize_t got = ::read(fd, data.data(), count);
    data.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return data;
}

inline std::string read_text(const char *path, std::size_t count = 64) {
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0) return "<no file>";
    std::string text(count, '\0');
    const ssize_t got = ::read(fd, text.data(), count);
    ::close(fd);
    text.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return text;
}
