#pragma once

// How the simulated board is built: the default board, and a scenario's lines on top of it.
#include "board_requests.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim::detail {

constexpr int chain_count = 8;
constexpr int insertion_line_base = 896; // slot 4 of chain i is line 896 + i
// Byte 9 of a chain's status reply carries the status flag in its bit 0.
constexpr std::size_t status_flag_byte = 9;

// The SPI port's configuration requests, as a scenario names them (`spi N fail-request wr_mode`) and
// as the driver numbers them.
enum class spi_request { wr_mode, rd_mode, wr_bits, rd_bits, wr_speed, rd_speed, none };
struct spi_request_info {
    spi_request which;
    std::string_view name;
    unsigned long number;
};
inline constexpr std::array<spi_request_info, 6> spi_requests{{
    {spi_request::wr_mode, "wr_mode", board_request::spi_wr_mode},
    {spi_request::rd_mode, "rd_mode", board_request::spi_rd_mode},
    {spi_request::wr_bits, "wr_bits", board_request::spi_wr_bits},
    {spi_request::rd_bits, "rd_bits", board_request::spi_rd_bits},
    {spi_request::wr_speed, "wr_speed", board_request::spi_wr_speed},
    {spi_request::rd_speed, "rd_speed", board_request::spi_rd_speed},
}};

struct port_setup {
    bool present = true;
    std::optional<std::uint8_t> mode_readback;
    std::optional<std::uint8_t> bits_readback;
    std::optional<std::uint32_t> speed_readback;
    spi_request fail_request = spi_request::none;
};

// The commands whose whole reply a scenario may give (`chain N reply reset ...`): each one's name,
// which is also the kind of frame the chips take it for, and the length of its reply.
enum class reply_kind { reset, marked_reset, bist_start, bist_collect, bist_fix, write_reg };
struct reply_kind_info {
    reply_kind which;
    std::string_view name;
    std::size_t length;
};
inline constexpr std::array<reply_kind_info, 6> reply_kinds{{
    {reply_kind::reset, "reset", 6},
    {reply_kind::marked_reset, "marked_reset", 6},
    {reply_kind::bist_start, "bist_start", 6},
    {reply_kind::bist_collect, "bist_collect", 6},
    {reply_kind::bist_fix, "bist_fix", 6},
    {reply_kind::write_reg, "write_reg", 16},
}};
constexpr std::size_t reply_kind_count = reply_kinds.size();
constexpr const reply_kind_info &reply_info(reply_kind k) {
    return reply_kinds[static_cast<std::size_t>(k)];
}

struct chain_setup {
    bool inserted = false;
    bool needs_power = true; // the chips answer only after the hash board's power-up
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

// A setting that takes effect at a time of the run ("at 20 chain 3 inserted no"): when, and the
// setting as written.
struct timed_setting {
    std::uint64_t at_us = 0;
    std::string text;
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
    // The driver's timeout from the start, as the kernel's soft watchdog's; whether the board resets
    // when it runs out; whether "V" written before the close stops the watchdog (the magic close).
    std::uint32_t watchdog_timeout = 60;
    bool watchdog_fires = true;
    bool watchdog_magic_close = true;
    std::uint64_t fail_op = 0;
    // A run on the model ends by itself: at the first wait that would take the clock past the time
    // limit, or at the operation past the operation limit (0: no limit).
    std::uint64_t time_limit_us = 3600ULL * 1000000;
    std::uint64_t operation_limit = 100000;
    // The settings that take effect later, in the order of their times (and lines).
    std::vector<timed_setting> events;
};

// Applies the scenario text on top of `out`. Returns "" or "NAME:LINE: <what was expected>"; `out`
// is left as it was on failure.
std::string parse_scenario(std::string_view text, std::string_view name, scenario &out);
// Every setting a scenario takes, as its documentation names it ("chain N inserted", "gpio L reads",
// "fail-op"), in the order of the table.
std::vector<std::string> scenario_settings();

// A setting whose time has come, applied. Returns "" (it was checked when the scenario was read).
std::string apply_timed(scenario &s, const timed_setting &t);

} // namespace boardsim::detail
