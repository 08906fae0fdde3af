#pragma once

#include "zynq_spi.h"

#include <array>
#include <cstdint>

// One chain of chips behind one SPI port. The port is borrowed from the probe that opened it.
struct chain_ctx {
    std::int32_t index;
    spi_ctx *spi;
};

// Frames go out one 2-byte pair per write: opcode, chip id, payload, a 0x00 pad when odd.
std::uint8_t spi_send_command(chain_ctx *chain, std::uint8_t opcode, std::uint8_t chip_id,
                              const std::uint8_t *buff, std::int32_t len);
std::uint8_t spi_write_words(spi_ctx *spi, const std::uint8_t *data, std::int32_t len);

// Hunts the chain's output pair by pair for the reply to opcode and delivers its first len bytes.
std::uint8_t spi_poll_result(chain_ctx *chain, std::uint8_t opcode, std::uint8_t chip_id, std::uint8_t *dst,
                             std::int32_t len);

std::uint8_t vexa_cmd_reset(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *buf, std::int32_t buf_len);
std::uint8_t spi_send_zeros(chain_ctx *chain);

// CRC-16/MODBUS (reflected 0x8005, initial 0xFFFF, no final XOR), four bits at a time.
std::uint16_t crc16_modbus(const std::uint8_t *data, std::uint16_t count);

// Formats frames into one 512-byte line buffer, 32 bytes per line; completed lines go nowhere.
void hexdump(const char *label, const std::uint8_t *data, std::int32_t len);
const char *hexdump_line();
void frame_trace(const char *label, const std::uint8_t *data, std::int32_t len);

constexpr std::int32_t reg_bytes = 12;
constexpr std::int32_t reg_frame_len = 16;
constexpr std::int32_t bist_result_len = 4;
constexpr std::int32_t result_len = 8;
constexpr std::int32_t status_len = 14;
constexpr std::int32_t block_len = 92;

// 0x09, chip id, the 12 register bytes, then the CRC of the first 14 bytes taken pair-swapped, high byte
// first.
std::array<std::uint8_t, reg_frame_len> build_reg_frame(std::uint8_t chip_id, const std::uint8_t *reg);

// Caller buffers are written only on success. result, res and status must hold 4, 8 and 14 bytes,
// reg 12 and block 92; a null one stops the process.
std::uint8_t vexa_cmd_bist_start(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *result);
std::uint8_t vexa_cmd_bist_collect(chain_ctx *chain, std::uint8_t chip_id);
std::uint8_t vexa_cmd_bist_fix(chain_ctx *chain, std::uint8_t chip_id);
std::uint8_t vexa_cmd_write_reg(chain_ctx *chain, std::uint8_t chip_id, const std::uint8_t *reg);
std::uint8_t vexa_cmd_read_result(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *res);
std::uint8_t vexa_cmd_read_status(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *status);

// 255 when the status cannot be read, 1 when bit 0 of status byte 9 is clear, 0 when it is set.
std::uint8_t vexa_cmd_status_flag(chain_ctx *chain, std::uint8_t chip_id);

// Both are judged by the status flag that follows, not by a reply of their own.
std::uint8_t vexa_cmd_reset_check(chain_ctx *chain, std::uint8_t chip_id);
std::uint8_t vexa_cmd_write_block(chain_ctx *chain, std::uint8_t chip_id, const std::uint8_t *block);
