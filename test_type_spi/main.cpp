// test_type_spi: finds the chip type of the attached hash boards by sending each inserted chain
// the reset command over SPI and decoding the first reply. Prints the type name or TYPE_ERR.
#include "board_io.h"
#include "chain_cmd.h"
#include "chain_power.h"
#include "fatal.h"
#include "zynq_spi.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

chain_ctx *init_a_chain(spi_ctx *spi, std::int32_t index);
const char *probe_chip_type();

namespace {

constexpr std::int32_t chain_count = 8;
constexpr std::int32_t fclk1_rate = 400000; // the clock takes 16 times this: 6400000
constexpr std::int32_t clock_steps = 8;

constexpr const char *type_err = "TYPE_ERR";

// By type code, the high nibble of the first reset reply byte.
constexpr std::array<const char *, 16> chip_type_names{
    "K5",     type_err, type_err, "K8", type_err, type_err, "K6",     "M47",
    type_err, type_err, type_err, "K7", "M48",    type_err, type_err, type_err,
};

std::array<spi_config, chain_count> spi_configs;
std::array<spi_ctx *, chain_count> spi_ctxs;
std::array<chain_ctx *, chain_count> chains;

enum { gpio_output = 0, gpio_input = 1 };

// Returns true when chain i answered the reset; its reply is then at the start of reply.
bool probe_chain(std::int32_t i, std::array<std::uint8_t, 6> &reply) {
    spi_configs[i] = chain_spi_config(i);
    spi_ctxs[i] = spi_init(&spi_configs[i]);
    if (spi_ctxs[i] == nullptr) {
        std::fprintf(stderr, "spi %d init fail.\n", i);
        return false;
    }
    chains[i] = init_a_chain(spi_ctxs[i], i);
    if (chains[i] == nullptr) {
        std::fprintf(stderr, "chain %d init fail.\n", i);
        return false;
    }

    spi_ctx &spi = *spi_ctxs[i];
    spi.gpio[4] = chain_gpio[i].slot4;
    spi.gpio[2] = chain_gpio[i].slot2;
    spi.gpio[1] = chain_gpio[i].slot1;
    spi.gpio[0] = chain_gpio[i].slot0;

    gpio_export(spi.gpio[0], gpio_output);
    gpio_export(spi.gpio[1], gpio_output);
    gpio_export(spi.gpio[2], gpio_output);
    gpio_export(spi.gpio[4], gpio_input);
    gpio_set_value(spi.gpio[0], 0);

    // An unreadable insertion line (-1) counts as inserted: better a slow probe than a missed board.
    if (gpio_get_value(spi.gpio[4]) == 1) {
        std::fprintf(stderr, "spi %d not inserted.\n", i);
        return false;
    }

    power_up(spi);
    if (vexa_cmd_reset(chains[i], 0, reply.data(), static_cast<std::int32_t>(reply.size())) != 0) return true;
    sleep(1);
    return false;
}

} // namespace

chain_ctx *init_a_chain(spi_ctx *spi, std::int32_t index) {
    auto *a1 = static_cast<chain_ctx *>(std::calloc(1, sizeof(chain_ctx)));
    FATAL_ASSERT(a1 != nullptr, "a1 != ((void *)0)");
    a1->index = index;
    a1->spi = spi;
    return a1;
}

const char *probe_chip_type() {
    const char *result = type_err;

    for (std::int32_t step = 0; step < clock_steps; ++step) {
        fclk_export();
        fclk_set_rate(fclk1_rate);
    }

    std::array<std::uint8_t, 6> reply{};
    for (std::int32_t i = 0; i < chain_count; ++i) {
        if (probe_chain(i, reply)) {
            result = chip_type_names[reply[0] >> 4];
            break;
        }
    }

    for (std::int32_t i = 0; i < chain_count; ++i) {
        spi_exit(spi_ctxs[i]);
        spi_ctxs[i] = nullptr;
        std::free(chains[i]);
        chains[i] = nullptr;
    }
    return result;
}

int main() {
    std::printf("%s\n", probe_chip_type());
    return 0;
}
