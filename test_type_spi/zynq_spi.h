#pragma once

#include <array>
#include <cstdint>

// Settings of one spidev port (/dev/spidev<bus>.<cs>). spi_init writes the driver's read-backs
// of mode, bits and speed into the record it is given.
struct spi_config {
    std::int32_t bus;
    std::int32_t cs;
    std::uint8_t mode;
    std::uint32_t speed;
    std::uint8_t bits;
    std::uint16_t delay;
};

// One open spidev port. gpio holds the chain's control lines (slots 0 to 4), filled by the owner.
struct spi_ctx {
    std::int32_t fd;
    std::array<std::int32_t, 5> gpio;
    spi_config config;
};

spi_ctx *spi_init(spi_config *config);
void spi_exit(spi_ctx *ctx);

// Each write or read is one SPI transfer. 1 when at least one byte moved, else 0.
std::uint8_t spi_write_data(spi_ctx *ctx, const std::uint8_t *data, std::int32_t len);
std::uint8_t spi_read_data(spi_ctx *ctx, std::uint8_t *buf, std::int32_t len);
std::uint8_t spi_transfer(spi_ctx *ctx, const std::uint8_t *data, std::uint8_t *buf, std::int32_t len);
