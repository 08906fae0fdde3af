#include "board_io.h"
#include "chain_cmd.h"
#include "chain_power.h"
#include "standin_state.h"
#include "vexa.h"
#include "zynq_spi.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr std::uint32_t bucket_ready = 0x42554b21;
constexpr int port_count = 8; // /dev/spidev0.0 to /dev/spidev7.0
constexpr int no_answer = 0xFF;

struct bucket_state {
    std::uint32_t ready;
    std::int32_t chains;
    std::int32_t chips;
};

enum { gpio_output = 0, gpio_input = 1 };

// The chain's reset reply, or false when the port does not open, no hash board is inserted or no chip
// answers. An inserted board is powered up first, as the probe powers it.
bool reset_chain(std::int32_t index, std::array<std::uint8_t, 4> &reply) {
    spi_config config = chain_spi_config(index);
    spi_ctx *spi = spi_init(&config);
    if (spi == nullptr) return false;
    const chain_lines &lines = chain_gpio[static_cast<std::size_t>(index)];
    spi->gpio[0] = lines.slot0;
    spi->gpio[1] = lines.slot1;
    spi->gpio[2] = lines.slot2;
    spi->gpio[4] = lines.slot4;
    for (const std::int32_t output : {lines.slot0, lines.slot1, lines.slot2})
        gpio_export(output, gpio_output);
    gpio_export(lines.slot4, gpio_input);
    bool answered = false;
    if (gpio_get_value(lines.slot4) != 1) {
        power_up(*spi);
        chain_ctx chain{.index = index, .spi = spi};
        answered = vexa_cmd_reset(&chain, 0, reply.data(), static_cast<std::int32_t>(reply.size())) != 0;
    }
    spi_exit(spi);
    return answered;
}

} // namespace

extern "C" VEXA_EXPORT int vexa_bucket_init(vexa_bucket_ctx *bucket, int chains, int chips) {
    if (bucket == nullptr) return -1;
    store_state(bucket, bucket_state{.ready = bucket_ready, .chains = chains, .chips = chips});
    return 0;
}

// Each inserted chain is powered up before its reset, as on the board, where the library powers the
// hash boards itself.
extern "C" VEXA_EXPORT int vexa_bucket_get_type_bits(vexa_bucket_ctx *bucket) {
    if (bucket == nullptr) return no_answer;
    const auto state = load_state<bucket_state>(bucket);
    if (state.ready != bucket_ready) return no_answer;

    const std::int32_t chains = std::clamp(state.chains, 0, port_count);
    std::array<std::uint8_t, 4> reply{};
    for (std::int32_t i = 0; i < chains; ++i) {
        if (reset_chain(i, reply)) return reply[0] >> 4;
    }
    return no_answer;
}

extern "C" VEXA_EXPORT int vexa_bucket_exit(vexa_bucket_ctx *bucket) {
    if (bucket == nullptr) return -1;
    store_state(bucket, bucket_state{});
    return 0;
}
