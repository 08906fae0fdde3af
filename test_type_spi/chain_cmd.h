#pragma once

#include "zynq_spi.h"

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
