// Arbitrary chain output against the chain command layer's reply handling: the reset, the generic
// reply poll, the result read with its CRC, the status read and the status flag.
//
// The port is one end of a local socket pair, so the real spi_read_data/spi_write_data run
// unchanged: every pair read takes the next two bytes of the chain output, and once the output is
// used up each further read fails (end of stream), which is how a read failure reaches the layer at
// any point of a reply. A flag makes the frame write fail instead.
//
// Input: byte 0 command, byte 1 parameter (opcode or buffer length), byte 2 length (low 8 bits),
// byte 3 flags (bit 0: the frame write fails; bits 1-2: length bits 8-9); the rest is the chain's
// output, cut to whole pairs.
//
// Besides the sanitizers' checks, each result is compared with what the chain said: a command that
// succeeds delivers exactly the bytes of the first acceptable reply within the 144-pair budget, a
// command that fails leaves the caller's buffer untouched, and nothing is written past the length.
#include "chain_cmd.h"
#include "crc_reference.h"
#include "zynq_spi.h"

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t header_size = 4;
constexpr std::size_t poll_pairs = 144;
constexpr std::int32_t reply_limit = 346;
constexpr std::uint8_t canary = 0xA5;

enum class command : std::uint8_t { reset, poll, read_result, read_status, status_flag, count };

struct chain_output {
    std::vector<std::array<std::uint8_t, 2>> pairs;
};

// A reply as the chain layer must find it: the first pair (within the budget) whose bytes the
// acceptance rule takes, then body_pairs more. Empty when the output ends first or the budget runs out.
template <typename Accept>
std::optional<std::vector<std::uint8_t>> expected_frame(const chain_output &out, std::size_t body_pairs,
                                                        Accept accept) {
    for (std::size_t i = 0; i < out.pairs.size() && i < poll_pairs; ++i) {
        if (!accept(out.pairs[i][0], out.pairs[i][1])) continue;
        if (i + 1 + body_pairs > out.pairs.size()) return std::nullopt;
        std::vector<std::uint8_t> reply;
        for (std::size_t k = i; k <= i + body_pairs; ++k)
            reply.insert(reply.end(), out.pairs[k].begin(), out.pairs[k].end());
        return reply;
    }
    return std::nullopt;
}

// The generic poll: enough body pairs for len bytes (at least one); the first len bytes are delivered.
template <typename Accept>
std::optional<std::vector<std::uint8_t>> expected_reply(const chain_output &out, std::int32_t len,
                                                        Accept accept) {
    const std::size_t body_pairs = len <= 0 ? 1 : (static_cast<std::size_t>(len) + 1) / 2;
    auto reply = expected_frame(out, body_pairs, accept);
    if (reply) reply->resize(static_cast<std::size_t>(std::max(len, 0)));
    return reply;
}

// One end is the chain's port, the other plays the chain: it has already said everything it will.
struct socket_chain {
    int port = -1;
    int chain = -1;
    spi_ctx spi{};
    chain_ctx ctx{};

    socket_chain(const chain_output &out, bool write_fails) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
        port = fds[0];
        chain = fds[1];
        // In one write: a socket charges every write its own overhead, and thousands of pair
        // writes would fill its buffer and block.
        std::vector<std::uint8_t> bytes;
        for (const auto &p : out.pairs)
            bytes.insert(bytes.end(), p.begin(), p.end());
        if (!bytes.empty() &&
            ::send(chain, bytes.data(), bytes.size(), MSG_DONTWAIT) != static_cast<ssize_t>(bytes.size()))
            std::abort();
        ::shutdown(chain, SHUT_WR);
        if (write_fails) ::shutdown(port, SHUT_WR);
        spi.fd = port;
        ctx.index = 0;
        ctx.spi = &spi;
    }
    ~socket_chain() {
        ::close(port);
        ::close(chain);
    }
    socket_chain(const socket_chain &) = delete;
    socket_chain &operator=(const socket_chain &) = delete;

    // Everything the layer wrote to the chain.
    std::vector<std::uint8_t> written() const {
        std::vector<std::uint8_t> bytes;
        std::array<std::uint8_t, 512> buf{};
        for (;;) {
            const ssize_t got = ::recv(chain, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got <= 0) break;
            bytes.insert(bytes.end(), buf.begin(), buf.begin() + got);
        }
        return bytes;
    }
};

void check(bool ok) {
    if (!ok) std::abort();
}

bool untouched(const std::uint8_t *buf, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (buf[i] != canary) return false;
    return true;
}

void fuzz_reset(const chain_output &out, bool write_fails, std::uint8_t buf_param) {
    const std::int32_t buf_len = buf_param % 9;
    socket_chain chain{out, write_fails};
    std::array<std::uint8_t, 16> buf{};
    buf.fill(canary);
    const std::uint8_t result = vexa_cmd_reset(&chain.ctx, 0, buf.data(), buf_len);

    const auto reply = expected_reply(out, 4, [](std::uint8_t b0, std::uint8_t) { return (b0 & 0x0F) == 4; });
    const bool expect_ok = !write_fails && reply.has_value() && buf_len >= 4;
    check(result == (expect_ok ? 1 : 0));
    if (expect_ok) {
        check(std::memcmp(buf.data(), reply->data(), 4) == 0);
        check(untouched(buf.data(), 4, buf.size()));
    } else {
        check(untouched(buf.data(), 0, buf.size()));
    }
    const std::vector<std::uint8_t> frame{0x04, 0x00, 0x00, 0x00};
    check(chain.written() == (write_fails ? std::vector<std::uint8_t>{} : frame));
}

void fuzz_poll(const chain_output &out, bool write_fails, std::uint8_t opcode_param, std::int32_t len) {
    const std::uint8_t opcode = opcode_param & 0x0F;
    socket_chain chain{out, write_fails};
    std::vector<std::uint8_t> dst(static_cast<std::size_t>(len) + 8, canary);
    const std::uint8_t result = spi_poll_result(&chain.ctx, opcode, 0, dst.data(), len);

    if (len > reply_limit) {
        check(result == 0 && untouched(dst.data(), 0, dst.size()));
        return;
    }
    const auto reply =
        expected_reply(out, len, [opcode](std::uint8_t b0, std::uint8_t) { return (b0 & 0x0F) == opcode; });
    check(result == (reply.has_value() ? 1 : 0));
    if (reply.has_value()) {
        check(std::memcmp(dst.data(), reply->data(), reply->size()) == 0);
        check(untouched(dst.data(), reply->size(), dst.size()));
    } else {
        check(untouched(dst.data(), 0, dst.size()));
    }
    check(chain.written().empty());
}

// The result reply: the first pair with low nibble 8 and a non-zero second byte, then three pairs;
// a wrong CRC ends the read at once.
std::optional<std::vector<std::uint8_t>> expected_result(const chain_output &out) {
    auto reply =
        expected_frame(out, 3, [](std::uint8_t b0, std::uint8_t b1) { return (b0 & 0x0F) == 8 && b1 != 0; });
    if (!reply) return std::nullopt;
    const std::uint8_t *r = reply->data();
    if (testsupport::crc16_modbus_bitwise({r[1], r[0], r[3], r[2], r[5], r[4]}) != (r[6] << 8 | r[7]))
        return std::nullopt;
    return reply;
}

std::optional<std::vector<std::uint8_t>> expected_status(const chain_output &out) {
    auto reply = expected_frame(out, 7, [](std::uint8_t b0, std::uint8_t) { return b0 == 0x1A; });
    if (!reply) return std::nullopt;
    return std::vector<std::uint8_t>(reply->begin() + 2, reply->end());
}

void fuzz_read(const chain_output &out, bool write_fails, command which, std::uint8_t chip_id) {
    socket_chain chain{out, write_fails};
    std::array<std::uint8_t, 32> buf{};
    buf.fill(canary);
    std::optional<std::vector<std::uint8_t>> expected;
    std::uint8_t result = 0;
    std::uint8_t opcode = 0;
    if (which == command::read_result) {
        result = vexa_cmd_read_result(&chain.ctx, chip_id, buf.data());
        expected = expected_result(out);
        opcode = 0x08;
    } else {
        result = vexa_cmd_read_status(&chain.ctx, chip_id, buf.data());
        expected = expected_status(out);
        opcode = 0x0A;
    }
    if (write_fails) expected.reset();
    check(result == (expected ? 1 : 0));
    if (expected) {
        check(std::memcmp(buf.data(), expected->data(), expected->size()) == 0);
        check(untouched(buf.data(), expected->size(), buf.size()));
    } else {
        check(untouched(buf.data(), 0, buf.size()));
    }
    const std::vector<std::uint8_t> frame{opcode, chip_id};
    check(chain.written() == (write_fails ? std::vector<std::uint8_t>{} : frame));
}

void fuzz_status_flag(const chain_output &out, bool write_fails, std::uint8_t chip_id) {
    socket_chain chain{out, write_fails};
    const std::uint8_t flag = vexa_cmd_status_flag(&chain.ctx, chip_id);
    const auto status = write_fails ? std::nullopt : expected_status(out);
    check(flag == (!status ? 255 : ((*status)[9] & 1) == 0 ? 1 : 0));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // A write to a chain that has gone away must fail, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < header_size) return 0;
    chain_output out;
    for (std::size_t i = header_size; i + 1 < size; i += 2)
        out.pairs.push_back({data[i], data[i + 1]});
    const bool write_fails = (data[3] & 1) != 0;
    const std::int32_t len = data[2] | ((data[3] >> 1 & 3) << 8);

    switch (static_cast<command>(data[0] % static_cast<std::uint8_t>(command::count))) {
    case command::reset:
        fuzz_reset(out, write_fails, data[1]);
        break;
    case command::poll:
        fuzz_poll(out, write_fails, data[1], len);
        break;
    case command::read_result:
    case command::read_status:
        fuzz_read(out, write_fails, static_cast<command>(data[0] % static_cast<std::uint8_t>(command::count)),
                  data[1]);
        break;
    case command::status_flag:
        fuzz_status_flag(out, write_fails, data[1]);
        break;
    case command::count:
        break;
    }
    return 0;
}
