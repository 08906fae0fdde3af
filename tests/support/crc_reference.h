#pragma once

// CRC-16/MODBUS bit by bit, straight from its definition (polynomial 0x8005 reflected, start 0xFFFF,
// no final XOR): the reference that the tests and the fuzz targets hold the table-driven versions of
// the chain layer and the simulated board to. Header-only, so that a fuzz build without the test
// suite takes it too.
#include <cstdint>
#include <initializer_list>
#include <span>

namespace testsupport {

constexpr std::uint16_t crc16_modbus_bitwise(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            const bool low = (crc & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (low) crc ^= 0xA001;
        }
    }
    return crc;
}

// For bytes written out in place: crc16_modbus_bitwise({reply[1], reply[0], ...}).
constexpr std::uint16_t crc16_modbus_bitwise(std::initializer_list<std::uint8_t> data) {
    return crc16_modbus_bitwise(std::span{data.begin(), data.size()});
}

static_assert(crc16_modbus_bitwise({'1', '2', '3', '4', '5', '6', '7', '8', '9'}) == 0x4B37,
              "the check value of CRC-16/MODBUS");

} // namespace testsupport
