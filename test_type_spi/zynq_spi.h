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

// The port of chain slot `chain` as the controller board wires it: /dev/spidev<chain>.0, SPI mode 1
// (clock idle low, data on the trailing edge), 1.5 MHz, 8-bit words.
constexpr spi_config chain_spi_config(std::int32_t chain) {
    return spi_config{.bus = chain, .cs = 0, .mode = 1, .speed = 1500000, .bits = 8, .delay = 0};
}

spi_ctx *spi_init(spi_config *config);
void spi_exit(spi_ctx *ctx);

// Each write or read is one SPI transfer. 1 when at least one byte moved, else 0.
std::uint8_t spi_write_data(spi_ctx *ctx, const std::uint8_t *data, std::int32_t len);
std::uint8_t spi_read_data(spi_ctx *ctx, std::uint8_t *buf, std::int32_t len);
std::uint8_t spi_transfer(spi_ctx *ctx, const std::uint8_t *data, std::uint8_t *buf, std::int32_t len);
