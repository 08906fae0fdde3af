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

constexpr std::uint8_t bist_start_opcode = 1;
constexpr std::uint8_t bist_collect_opcode = 0x0B;
constexpr std::uint8_t bist_fix_opcode = 3;
constexpr std::uint8_t write_reg_opcode = 9;
constexpr std::uint8_t read_result_opcode = 8;
constexpr std::uint8_t status_header = 0x1A; // high nibble 1, low nibble the status opcode 0xA
constexpr std::uint8_t read_status_opcode = 0x0A;
constexpr std::int32_t write_reg_reply_len = 14;
constexpr std::int32_t result_crc_at = 6;
constexpr std::int32_t status_flag_byte = 9;

constexpr std::array<std::uint8_t, 2> zero_payload{0x00, 0x00};

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

constexpr std::array<std::uint16_t, 16> crc_nibble_table{0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00,
                                                         0x2800, 0xE401, 0xA001, 0x6C00, 0x7800, 0xB401,
                                                         0x5000, 0x9C01, 0x8801, 0x4400};

constexpr bool crc_table_matches_polynomial() {
    for (std::size_t n = 0; n < crc_nibble_table.size(); ++n) {
        auto crc = static_cast<std::uint16_t>(n);
        for (int bit = 0; bit < 4; ++bit)
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xA001 : crc >> 1;
        if (crc != crc_nibble_table[n]) return false;
    }
    return true;
}
static_assert(crc_table_matches_polynomial());

// The chips compute their CRC over 16-bit words, so the bytes of every pair go in swapped.
std::uint16_t crc16_pair_swapped(const std::uint8_t *bytes, std::int32_t count) {
    std::array<std::uint8_t, reg_frame_len> work{};
    for (std::int32_t k = 0; k + 1 < count; k += pair) {
        work[k] = bytes[k + 1];
        work[k + 1] = bytes[k];
    }
    return crc16_modbus(work.data(), static_cast<std::uint16_t>(count));
}

// Flushed at once: a fatal assertion may follow, and abort() would drop a buffered line.
void announce(const char *line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

std::uint8_t bist_command(chain_ctx *chain, std::uint8_t opcode, std::uint8_t chip_id, std::uint8_t *dst) {
    if (spi_send_command(chain, opcode, chip_id, zero_payload.data(), zero_payload.size()) == 0) return 0;
    return spi_poll_result(chain, opcode, chip_id, dst, bist_result_len) == 1 ? 1 : 0;
}

constexpr std::size_t hexdump_line_size = 512;
constexpr std::int32_t hexdump_per_line = 32;
constexpr std::size_t hexdump_group = 3; // "%.2X "

char hexdump_buffer[hexdump_line_size];

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

std::uint8_t spi_poll_result(chain_ctx *chain, std::uint8_t opcode, std::uint8_t /*chip_id*/,
                             std::uint8_t *dst, std::int32_t len) {
    spi_ctx *spi = chain->spi;
    if (len < 0 || len > reply_limit) return 0;

    reply_buffer reply{};
    switch (
        hunt_header(spi, reply, [opcode](std::uint8_t b0, std::uint8_t) { return (b0 & 0x0F) == opcode; })) {
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

std::uint16_t crc16_modbus(const std::uint8_t *data, std::uint16_t count) {
    std::uint16_t crc = 0xFFFF;
    for (std::uint16_t i = 0; i < count; ++i) {
        const std::uint8_t byte = data[i];
        crc = static_cast<std::uint16_t>((crc >> 4) ^ crc_nibble_table[(crc ^ byte) & 0x0F]);
        crc = static_cast<std::uint16_t>((crc >> 4) ^ crc_nibble_table[(crc ^ (byte >> 4)) & 0x0F]);
    }
    return crc;
}

void hexdump(const char *label, const std::uint8_t *data, std::int32_t len) {
    if (len < 1 || data == nullptr) return;
    if (label == nullptr) label = "";

    char count_text[24];
    const int count_len = std::snprintf(count_text, sizeof count_text, ": %d bytes:", len);
    // A label too long for the line is cut, so that the count and a full line of groups always fit.
    const int label_room =
        static_cast<int>(hexdump_line_size - 1 - hexdump_per_line * hexdump_group) - count_len;
    std::size_t used = static_cast<std::size_t>(
        std::snprintf(hexdump_buffer, hexdump_line_size, "%.*s%s", label_room, label, count_text));

    for (std::int32_t i = 0; i < len; ++i) {
        if (i > 0 && i % hexdump_per_line == 0) {
            used = static_cast<std::size_t>(std::snprintf(hexdump_buffer, hexdump_line_size, "\t"));
        }
        used += static_cast<std::size_t>(
            std::snprintf(hexdump_buffer + used, hexdump_line_size - used, "%.2X ", data[i]));
    }
}

const char *hexdump_line() {
    return hexdump_buffer;
}

void frame_trace(const char * /*label*/, const std::uint8_t * /*data*/, std::int32_t /*len*/) {}

std::array<std::uint8_t, reg_frame_len> build_reg_frame(std::uint8_t chip_id, const std::uint8_t *reg) {
    std::array<std::uint8_t, reg_frame_len> frame{};
    frame[0] = write_reg_opcode;
    frame[1] = chip_id;
    std::memcpy(frame.data() + 2, reg, reg_bytes);
    const std::uint16_t crc = crc16_pair_swapped(frame.data(), 2 + reg_bytes);
    frame[14] = static_cast<std::uint8_t>(crc >> 8);
    frame[15] = static_cast<std::uint8_t>(crc & 0xFF);
    return frame;
}

std::uint8_t vexa_cmd_bist_start(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *result) {
    announce("send command [bist_start] \n");
    FATAL_ASSERT(result != nullptr, "result != ((void *)0)");
    return bist_command(chain, bist_start_opcode, chip_id, result);
}

std::uint8_t vexa_cmd_bist_collect(chain_ctx *chain, std::uint8_t chip_id) {
    announce("send command [bist_collect] \n");
    std::array<std::uint8_t, bist_result_len> dropped{};
    return bist_command(chain, bist_collect_opcode, chip_id, dropped.data());
}

std::uint8_t vexa_cmd_bist_fix(chain_ctx *chain, std::uint8_t chip_id) {
    announce("send command [bist_fix] \n");
    std::array<std::uint8_t, bist_result_len> dropped{};
    return bist_command(chain, bist_fix_opcode, chip_id, dropped.data());
}

std::uint8_t vexa_cmd_write_reg(chain_ctx *chain, std::uint8_t chip_id, const std::uint8_t *reg) {
    announce("send command [write_reg] \n");
    FATAL_ASSERT(reg != nullptr, "reg != ((void *)0)");

    const std::array<std::uint8_t, reg_frame_len> frame = build_reg_frame(chip_id, reg);
    frame_trace("write reg", frame.data(), reg_frame_len);
    if (spi_write_data(chain->spi, frame.data(), reg_frame_len) != 1) return 0;

    // The reply carries a CRC too, but the chips' answer to a register write is not checked.
    std::array<std::uint8_t, write_reg_reply_len> dropped{};
    return spi_poll_result(chain, write_reg_opcode, chip_id, dropped.data(), write_reg_reply_len) == 1 ? 1
                                                                                                       : 0;
}

std::uint8_t vexa_cmd_read_result(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *res) {
    FATAL_ASSERT(res != nullptr, "res != ((void *)0)");
    spi_ctx *spi = chain->spi;
    const std::array<std::uint8_t, 2> frame{read_result_opcode, chip_id};
    if (spi_write_data(spi, frame.data(), frame.size()) != 1) return 0;

    // A result header whose second byte is 0 is not a result: the chip had nothing to report.
    reply_buffer reply{};
    const auto accept = [](std::uint8_t b0, std::uint8_t b1) {
        return (b0 & 0x0F) == read_result_opcode && b1 != 0;
    };
    if (hunt_header(spi, reply, accept) != hunt::found) return 0;
    if (!read_body(spi, reply, result_len - pair)) return 0;

    const std::uint16_t carried =
        static_cast<std::uint16_t>(reply[result_crc_at] << 8 | reply[result_crc_at + 1]);
    if (crc16_pair_swapped(reply.data(), result_crc_at) != carried) return 0;
    std::memcpy(res, reply.data(), result_len);
    return 1;
}

std::uint8_t vexa_cmd_read_status(chain_ctx *chain, std::uint8_t chip_id, std::uint8_t *status) {
    FATAL_ASSERT(status != nullptr, "status != ((void *)0)");
    spi_ctx *spi = chain->spi;
    const std::array<std::uint8_t, 2> frame{read_status_opcode, chip_id};
    if (spi_write_data(spi, frame.data(), frame.size()) != 1) return 0;

    reply_buffer reply{};
    const auto accept = [](std::uint8_t b0, std::uint8_t) { return b0 == status_header; };
    if (hunt_header(spi, reply, accept) != hunt::found) return 0;
    if (!read_body(spi, reply, status_len)) return 0;
    std::memcpy(status, reply.data() + pair, status_len);
    return 1;
}

std::uint8_t vexa_cmd_status_flag(chain_ctx *chain, std::uint8_t chip_id) {
    std::array<std::uint8_t, status_len> status{};
    if (vexa_cmd_read_status(chain, chip_id, status.data()) != 1) return 255;
    return (status[status_flag_byte] & 0x01) == 0 ? 1 : 0;
}

std::uint8_t vexa_cmd_reset_check(chain_ctx *chain, std::uint8_t chip_id) {
    const std::array<std::uint8_t, 6> frame{reset_opcode, chip_id, 0xED, 0xED, 0x00, 0x00};
    if (spi_write_data(chain->spi, frame.data(), frame.size()) != 1) return 0;

    // Whether the chips answer the marked reset is not what counts; the status read after it does.
    std::array<std::uint8_t, reset_reply_len> dropped{};
    static_cast<void>(spi_poll_result(chain, reset_opcode, chip_id, dropped.data(), reset_reply_len));
    return vexa_cmd_status_flag(chain, chip_id) == 1 ? 1 : 0;
}

std::uint8_t vexa_cmd_write_block(chain_ctx *chain, std::uint8_t chip_id, const std::uint8_t *block) {
    FATAL_ASSERT(block != nullptr, "block != ((void *)0)");
    std::array<std::uint8_t, block_len> work{};
    std::memcpy(work.data(), block, block_len);
    if (spi_write_data(chain->spi, work.data(), block_len) != 1) return 0;
    return vexa_cmd_status_flag(chain, chip_id) == 0 ? 1 : 0;
}
