#pragma once

// How the simulated board is built: the default board, and a scenario's lines on top of it.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim::detail {

constexpr int chain_count = 8;
constexpr int insertion_line_base = 896; // slot 4 of chain i is line 896 + i

enum class spi_request { wr_mode, rd_mode, wr_bits, rd_bits, wr_speed, rd_speed, none };

struct port_setup {
    bool present = true;
    std::optional<std::uint8_t> mode_readback;
    std::optional<std::uint8_t> bits_readback;
    std::optional<std::uint32_t> speed_readback;
    spi_request fail_request = spi_request::none;
};

enum class reply_kind { reset, marked_reset, bist_start, bist_collect, bist_fix, write_reg };
constexpr int reply_kind_count = 6;

struct chain_setup {
    bool inserted = false;
    std::uint8_t type = 6;
    std::array<std::optional<std::vector<std::uint8_t>>, reply_kind_count> replies;
    std::array<std::uint8_t, 6> result{0x18, 0x01, 0x11, 0x22, 0x33, 0x44};
    bool result_bad_crc = false;
    bool result_zero_first = false;
    std::array<std::uint8_t, 14> status{};
    bool status_0a_first = false;
    int noise_pairs = 0;
    std::array<std::uint8_t, 2> noise{0x00, 0x00};
    std::optional<std::uint8_t> silent;     // never answers; every read delivers this byte
    std::optional<std::uint64_t> reads_ok;  // reads after this many fail
    std::optional<std::uint64_t> writes_ok; // writes after this many fail
};

struct gpio_setup {
    std::optional<std::string> reads; // what the value file of an input delivers
    bool broken = false;              // direction and value files cannot be opened
    bool absent = false;              // no such line: exporting it fails
};

struct scenario {
    scenario();
    bool fclk_present = true;
    std::optional<std::string> fclk_readback;
    std::array<port_setup, chain_count> ports;
    std::array<chain_setup, chain_count> chains;
    std::map<int, gpio_setup> gpio;
    bool vidgen_present = true;
    bool vidgen_fail = false;
    bool watchdog_present = true;
    bool watchdog_busy = false;
    std::optional<int> watchdog_timeout_readback;
    // The timeouts the driver takes, in seconds, as the kernel compares them (unsigned): its
    // watchdog core refuses anything above UINT_MAX / 1000 whatever the driver.
    std::uint32_t watchdog_timeout_min = 0;
    std::uint32_t watchdog_timeout_max = 4294967;
    std::uint64_t watchdog_stop_after = 0;
    std::uint64_t fail_op = 0;
    // A run on the model ends by itself: at the first wait that would take the clock past the time
    // limit, or at the operation past the operation limit (0: no limit).
    std::uint64_t time_limit_us = 3600ULL * 1000000;
    std::uint64_t operation_limit = 100000;
};

// Applies the scenario text on top of `out`. Returns "" or "NAME:LINE: <what was expected>"; `out`
// is left as it was on failure.
std::string parse_scenario(std::string_view text, std::string_view name, scenario &out);

} // namespace boardsim::detail
