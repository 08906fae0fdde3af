#pragma once

// What the board's devices hold, as a test reads it back through the in-process API (boardsim.h).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace boardsim {

struct gpio_state {
    bool exported = false;
    bool output = false; // direction "out"
    int level = 0;       // last level driven, for an output
    bool operator==(const gpio_state &) const = default;
};

// What the driver of an SPI port holds now (after the program's requests).
struct spi_port_state {
    std::uint8_t mode = 0;
    std::uint8_t bits = 0;
    std::uint32_t speed = 0;
};

// A frame that the chips of a chain received, as the chip model took it apart.
struct frame {
    std::string kind; // reset, marked_reset, bist_start, bist_collect, bist_fix, write_reg,
                      // read_result, read_status, block, zeros, unknown, incomplete
    std::vector<std::uint8_t> bytes;
    bool crc_ok = true; // write_reg only: the frame's CRC matched
};

struct watchdog_state {
    int opens = 0;
    int keepalives = 0;
    std::vector<int> keepalive_args;               // the value each keep-alive pointed at (first 100000)
    std::vector<int> timeouts_requested;           // each WDIOC_SETTIMEOUT, as the program asked
    int timeout = 0;                               // the timeout in effect
    std::vector<std::vector<std::uint8_t>> writes; // data written to the device (it expects none)
};

// CRC-16/MODBUS as the chips compute it (reflected 0x8005, initial 0xFFFF, no final XOR).
std::uint16_t crc16_modbus(const std::uint8_t *data, std::size_t len);

} // namespace boardsim
