#include "zynq_spi.h"

#include "board_requests.h"
#include "fatal.h"
#include "unique_fd.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct spi_request {
    unsigned long number;
    enum { mode, bits, speed } field;
};

// Each setting is written, then read back, so the context records what the driver really took.
constexpr std::array<spi_request, 6> spi_setup{{
    {board_request::spi_wr_mode, spi_request::mode},
    {board_request::spi_rd_mode, spi_request::mode},
    {board_request::spi_wr_bits, spi_request::bits},
    {board_request::spi_rd_bits, spi_request::bits},
    {board_request::spi_wr_speed, spi_request::speed},
    {board_request::spi_rd_speed, spi_request::speed},
}};

void *field_of(spi_config &config, const spi_request &request) {
    switch (request.field) {
    case spi_request::mode:
        return &config.mode;
    case spi_request::bits:
        return &config.bits;
    case spi_request::speed:
        return &config.speed;
    }
    return nullptr;
}

} // namespace

spi_ctx *spi_init(spi_config *config) {
    if (config == nullptr) return nullptr;

    char path[40];
    std::snprintf(path, sizeof path, "/dev/spidev%d.%d", config->bus, config->cs);
    unique_fd fd{::open(path, O_RDWR)};
    if (!fd.is_open()) return nullptr;

    for (const spi_request &request : spi_setup) {
        if (::ioctl(fd.get(), request.number, field_of(*config, request)) < 0) return nullptr;
    }

    auto *ctx = static_cast<spi_ctx *>(std::malloc(sizeof(spi_ctx)));
    FATAL_ASSERT(ctx != nullptr, "ctx != ((void *)0)");
    ctx->fd = fd.release();
    ctx->gpio = {};
    ctx->config = *config;
    return ctx;
}

void spi_exit(spi_ctx *ctx) {
    if (ctx == nullptr) return;
    ::close(ctx->fd);
    std::free(ctx);
}

std::uint8_t spi_write_data(spi_ctx *ctx, const std::uint8_t *data, std::int32_t len) {
    if (data == nullptr || len < 1) return 0;
    return ::write(ctx->fd, data, static_cast<std::size_t>(len)) > 0 ? 1 : 0;
}

std::uint8_t spi_read_data(spi_ctx *ctx, std::uint8_t *buf, std::int32_t len) {
    if (buf == nullptr || len < 1) return 0;
    return ::read(ctx->fd, buf, static_cast<std::size_t>(len)) > 0 ? 1 : 0;
}

std::uint8_t spi_transfer(spi_ctx *ctx, const std::uint8_t *data, std::uint8_t *buf, std::int32_t len) {
    if (spi_write_data(ctx, data, len) != 1) return 0;
    return spi_read_data(ctx, buf, len) == 1 ? 1 : 0;
}
