#include "chain_cmd.h"

#include "fatal.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int32_t frame_limit = 256;
constexpr std::int32_t payload_limit = frame_limit - 2;
constexpr std::int32_t reply_buffer_size = 348;
constexpr std::int32_t reply_limit = reply_buffer_size - 2;
constexpr std::int32_t poll_budget = 288; // bytes, read as 144 pairs
constexpr std::int32_t pair = 2;

constexpr std::uint8_t reset_opcode = 4;
constexpr std::int32_t reset_reply_len = 4;
constexpr std::int32_t zero_block = 64;

using reply_buffer = std::array<std::uint8_t, reply_buffer_size>;

enum class hunt { found, read_failed, exhausted };

// Reads pairs into reply[0..1] until accept() takes one or the budget is spent. Pairs that are
// not taken are consumed from the chain and lost: the chips do not repeat them.
template <typename Accept> hunt hunt_header(spi_ctx *spi, reply_buffer &reply, Accept accept) {
    for (std::int32_t count = 0; count < poll_budget; count += pair) {
        if (spi_read_data(spi, reply.data(), pair) != 1) return hunt::read_failed;
        if (accept(reply[0], reply[1])) return hunt::found;
    }
    return hunt::exhausted;
}

// Reads the reply body pair by pair directly after the header: len bytes made even, at least one pair.
bool read_body(spi_ctx *spi, reply_buffer &reply, std::int32_t len) {
    std::int32_t j = 0;
    do {
        if (spi_read_data(spi, reply.data() + pair + j, pair) != 1) return false;
        j += pair;
    } while (j < len);
    return true;
}

} // namespace

std::uint8_t spi_write_words(spi_ctx *spi, const std::uint8_t *data, std::int32_t len) {
    if (len < 0 || len > frame_limit || (data == nullptr && len > 0)) return 0;
    std::array<std::uint8_t, frame_limit> work{};
    if (len > 0) std::memcpy(work.data(), data, static_cast<std::size_t>(len));

    std::int32_t offset = 0;
    do {
        if (spi_write_data(spi, work.data() + offset, pair) != 1) return 0;
        offset += pair;
    } while (offset < len);
    return 1;
}

std::uint8_t spi_send_command(chain_ctx *chain, std::uint8_t opcode, std::uint8_t chip_id,
                              const std::uint8_t *buff, std::int32_t len) {
    spi_ctx *spi = chain->spi;
    FATAL_ASSERT(buff != nullptr, "buff != ((void *)0)");
    if (len < 0 || len > payload_limit) return 0;

    std::array<std::uint8_t, frame_limit> frame{};
    frame[0] = opcode;
    frame[1] = chip_id;
    if (len > 0) std::memcpy(frame.data() + 2, buff, static_cast<std::size_t>(len));
    const std::int32_t frame_len = (len + 3) & ~1;
    return spi_write_words(spi, frame.data(), frame_len) != 0 ? 1 : 0;
}

std::uint8_t spi_poll_result(chain_ctx *chain, std::uint8_t opcode, std::uint8_t /*chip_id*/, std::uint8_t *dst,
                             std::int32_t len) {
    spi_ctx *spi = chain->spi;
    if (len < 0 || len > reply_limit) return 0;

    reply_buffer reply{};
    switch (hunt_header(spi, reply, [opcode](std::uint8_t b0, std::uint8_t) { return (b0 & 0x0F) == opcode; })) {
    case hunt::read_failed:
        std::fputs("spi_poll_result spi_read_data failed.\n", stderr);
        return 0;
    case hunt::exhausted:
        return 0;
    case hunt::found:
        break;
    }
    if (!read_body(spi, reply, len)) return 0;
    if (len > 0) std::memcpy(dst, reply.data(), static_cast<std::size_t>(len));
    return 1;
}

std::uint8_t vexa_cmd_reset(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *buf, std::int32_t buf_len) {
    std::fputs("send command [reset] \n", stderr);
    if (buf_len < reset_reply_len) std::fprintf(stderr, "%s:buf is too small.\n", "vexa_cmd_reset");

    static constexpr std::array<std::uint8_t, 2> payload{0x00, 0x00};
    if (spi_send_command(chain, reset_opcode, chip_id, payload.data(), payload.size()) == 0) {
        std::fputs("spi_send_command fail.\n", stderr);
        return 0;
    }
    std::array<std::uint8_t, reset_reply_len> reply{};
    if (spi_poll_result(chain, reset_opcode, chip_id, reply.data(), reset_reply_len) == 0) {
        std::fputs("spi_poll_result fail.\n", stderr);
        return 0;
    }
    // The reply is 4 bytes; a smaller buffer cannot take it, so the reset counts as failed.
    if (buf == nullptr || buf_len < reset_reply_len) return 0;
    std::memcpy(buf, reply.data(), reply.size());
    return 1;
}

std::uint8_t spi_send_zeros(chain_ctx *chain) {
    static constexpr std::array<std::uint8_t, zero_block> zeros{};
    return spi_write_data(chain->spi, zeros.data(), zero_block);
}
