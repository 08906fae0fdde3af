#pragma once

// The requests the board's programs make of its drivers, by number as the kernel's headers build
// them, with the names a trace shows them by. The programs, the simulated board and the tests all
// take them from here.
#include <array>
#include <linux/ioctl.h>
#include <linux/spi/spidev.h>
#include <linux/watchdog.h>
#include <string_view>

namespace board_request {

// spidev, /dev/spidevN.M
inline constexpr unsigned long spi_wr_mode = 0x40016b01;
inline constexpr unsigned long spi_rd_mode = 0x80016b01;
inline constexpr unsigned long spi_wr_bits = 0x40016b03;
inline constexpr unsigned long spi_rd_bits = 0x80016b03;
inline constexpr unsigned long spi_wr_speed = 0x40046b04;
inline constexpr unsigned long spi_rd_speed = 0x80046b04;
// the watchdog, /dev/watchdog0
inline constexpr unsigned long wdioc_settimeout = 0xC0045706;
inline constexpr unsigned long wdioc_keepalive = 0x80045705;
inline constexpr unsigned long wdioc_gettimeout = 0x80045707;
// the board's voltage generator, /dev/vidgen0.0: its driver's one request, which takes an int by value
inline constexpr unsigned long vidgen_set = 0x80046400;

static_assert(spi_wr_mode == SPI_IOC_WR_MODE && spi_rd_mode == SPI_IOC_RD_MODE);
static_assert(spi_wr_bits == SPI_IOC_WR_BITS_PER_WORD && spi_rd_bits == SPI_IOC_RD_BITS_PER_WORD);
static_assert(spi_wr_speed == SPI_IOC_WR_MAX_SPEED_HZ && spi_rd_speed == SPI_IOC_RD_MAX_SPEED_HZ);
static_assert(wdioc_settimeout == WDIOC_SETTIMEOUT && wdioc_keepalive == WDIOC_KEEPALIVE &&
              wdioc_gettimeout == WDIOC_GETTIMEOUT);
static_assert(vidgen_set == _IOR('d', 0, int));

struct named {
    unsigned long number;
    std::string_view name;
};
inline constexpr std::array<named, 10> names{{
    {spi_wr_mode, "SPI_IOC_WR_MODE"},
    {spi_rd_mode, "SPI_IOC_RD_MODE"},
    {spi_wr_bits, "SPI_IOC_WR_BITS_PER_WORD"},
    {spi_rd_bits, "SPI_IOC_RD_BITS_PER_WORD"},
    {spi_wr_speed, "SPI_IOC_WR_MAX_SPEED_HZ"},
    {spi_rd_speed, "SPI_IOC_RD_MAX_SPEED_HZ"},
    {wdioc_settimeout, "WDIOC_SETTIMEOUT"},
    {wdioc_keepalive, "WDIOC_KEEPALIVE"},
    {wdioc_gettimeout, "WDIOC_GETTIMEOUT"},
    {vidgen_set, "VIDGEN_SET"},
}};

// The request's name, or the empty text for a number that is none of these.
constexpr std::string_view name_of(unsigned long number) {
    for (const named &r : names)
        if (r.number == number) return r.name;
    return {};
}

} // namespace board_request
