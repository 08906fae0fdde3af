// The chips of one chain: the frames they take apart and the replies they queue, and their checksum.
#include "devices/chips.h"

#include "base/text.h"

#include <algorithm>
#include <array>
#include <optional>

namespace boardsim {

std::uint16_t crc16_modbus(const std::uint8_t *data, std::size_t len) {
    // The reflected polynomial 0xA001 four bits at a time.
    static constexpr std::array<std::uint16_t, 16> nibble{0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00,
                                                          0x2800, 0xE401, 0xA001, 0x6C00, 0x7800, 0xB401,
                                                          0x5000, 0x9C01, 0x8801, 0x4400};
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < len; ++i) {
        crc = static_cast<std::uint16_t>((crc >> 4) ^ nibble[(crc ^ data[i]) & 0xF]);
        crc = static_cast<std::uint16_t>((crc >> 4) ^ nibble[(crc ^ (data[i] >> 4)) & 0xF]);
    }
    return crc;
}

} // namespace boardsim

namespace boardsim::detail {

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t op_bist_start = 0x01;
constexpr std::uint8_t op_bist_fix = 0x03;
constexpr std::uint8_t op_reset = 0x04;
constexpr std::uint8_t op_read_result = 0x08;
constexpr std::uint8_t op_write_reg = 0x09;
constexpr std::uint8_t op_read_status = 0x0A;
constexpr std::uint8_t op_bist_collect = 0x0B;
constexpr std::uint8_t reset_mark = 0xED;
constexpr std::size_t block_len = 92;
constexpr std::size_t zeros_len = 64;
constexpr std::size_t reg_frame_len = 16;
constexpr std::size_t reg_crc_at = 14; // the register write's CRC, over the bytes before it

// The CRC over the first len bytes taken with the two bytes of each pair swapped, as the chips take it.
std::uint16_t pair_swapped_crc(const std::uint8_t *data, std::size_t len) {
    bytes work(len);
    for (std::size_t k = 0; k + 1 < len; k += 2) {
        work[k] = data[k + 1];
        work[k + 1] = data[k];
    }
    return crc16_modbus(work.data(), len);
}

// What the chips take a frame for: a command whose reply a scenario may give, or a kind of its own.
struct frame_kind {
    std::string_view name;
    std::optional<reply_kind> command;
};
constexpr frame_kind command(reply_kind k) {
    return {reply_info(k).name, k};
}
constexpr frame_kind read_result{"read_result", std::nullopt};
constexpr frame_kind read_status{"read_status", std::nullopt};
constexpr frame_kind unknown{"unknown", std::nullopt};

frame_kind kind_of(const bytes &f) {
    const std::size_t n = f.size();
    if (n == zeros_len && std::all_of(f.begin(), f.end(), [](std::uint8_t b) { return b == 0; }))
        return {"zeros", std::nullopt};
    if (n == block_len) return {"block", std::nullopt};
    if (n < 2) return unknown;
    switch (f[0]) {
    case op_reset:
        if (n == 4 && f[2] == 0 && f[3] == 0) return command(reply_kind::reset);
        if (n == 6 && f[2] == reset_mark && f[3] == reset_mark && f[4] == 0 && f[5] == 0)
            return command(reply_kind::marked_reset);
        break;
    case op_bist_start:
        if (n == 4) return command(reply_kind::bist_start);
        break;
    case op_bist_collect:
        if (n == 4) return command(reply_kind::bist_collect);
        break;
    case op_bist_fix:
        if (n == 4) return command(reply_kind::bist_fix);
        break;
    case op_write_reg:
        if (n == reg_frame_len) return command(reply_kind::write_reg);
        break;
    case op_read_result:
        if (n == 2) return read_result;
        break;
    case op_read_status:
        if (n == 2) return read_status;
        break;
    default:
        break;
    }
    return unknown;
}

// How many bytes a frame that arrives pair by pair has once it is whole.
std::size_t frame_length(const bytes &pending) {
    switch (pending[0]) {
    case op_reset:
        if (pending.size() >= 4 && pending[2] == reset_mark && pending[3] == reset_mark) return 6;
        return 4;
    case op_bist_start:
    case op_bist_collect:
    case op_bist_fix:
        return 4;
    case op_write_reg:
        return reg_frame_len;
    default:
        return 2;
    }
}

bytes result_reply(const chain_setup &s) {
    bytes out;
    if (s.result_zero_first) {
        // A reply whose second byte is 0: the host must skip it. Its body is zero, so no pair in it
        // looks like a result header either.
        const bytes decoy{
            static_cast<std::uint8_t>((s.result[0] & 0xF0) | op_read_result), 0, 0, 0, 0, 0, 0, 0};
        out.insert(out.end(), decoy.begin(), decoy.end());
    }
    bytes reply(s.result.begin(), s.result.end());
    std::uint16_t crc = pair_swapped_crc(reply.data(), reply.size());
    if (s.result_bad_crc) crc ^= 0x5A5A;
    reply.push_back(static_cast<std::uint8_t>(crc >> 8));
    reply.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    out.insert(out.end(), reply.begin(), reply.end());
    return out;
}

bytes status_reply(const chain_setup &s) {
    bytes out;
    if (s.status_0a_first) {
        out.push_back(op_read_status);
        out.insert(out.end(), 15, 0);
    }
    out.push_back(0x10 | op_read_status);
    out.push_back(0);
    out.insert(out.end(), s.status.begin(), s.status.end());
    return out;
}

// The chips' reply to a frame they took, or nothing.
bytes reply_to(const chain_setup &s, const bytes &f, const frame_kind &kind, bool crc_ok) {
    if (kind.name == read_result.name) return result_reply(s);
    if (kind.name == read_status.name) return status_reply(s);
    if (!kind.command || !crc_ok) return {};
    if (const auto &given = s.replies[static_cast<std::size_t>(*kind.command)]) return *given;
    switch (*kind.command) {
    case reply_kind::reset:
    case reply_kind::marked_reset:
        return bytes{static_cast<std::uint8_t>((s.type << 4) | op_reset), 0, 0, 0, 0, 0};
    case reply_kind::write_reg: {
        // The chips echo the register bytes and the CRC after the header pair.
        bytes reply{op_write_reg, 0};
        reply.insert(reply.end(), f.begin() + 2, f.end());
        return reply;
    }
    default: // the self-test commands: their opcode and zeros
        return bytes{f[0], 0, 0, 0, 0, 0};
    }
}

void take_frame(const chain_setup &s, chain_state &c, const bytes &f) {
    const frame_kind kind = kind_of(f);
    bool crc_ok = true;
    if (kind.command == reply_kind::write_reg) {
        const std::uint16_t crc = pair_swapped_crc(f.data(), reg_crc_at);
        crc_ok = f[reg_crc_at] == (crc >> 8) && f[reg_crc_at + 1] == (crc & 0xFF);
    }
    c.frames.push_back(frame{std::string{kind.name}, f, crc_ok});
    if (s.silent) return;
    const bytes reply = reply_to(s, f, kind, crc_ok);
    if (reply.empty()) return;
    for (int i = 0; i < s.noise_pairs; ++i) {
        c.output.push_back(s.noise[0]);
        c.output.push_back(s.noise[1]);
    }
    c.output.insert(c.output.end(), reply.begin(), reply.end());
}

} // namespace

namespace {

constexpr std::uint64_t second = 1000000;
// The power-up's waits: slot 2 after slot 0, slot 1 after slot 2, the chips after slot 1.
constexpr std::uint64_t slot2_wait = 5 * second;
constexpr std::uint64_t slot1_wait = 1 * second;
constexpr std::uint64_t ready_wait = 1 * second;

std::string chain_name(int chain) {
    return "chain " + std::to_string(chain) + ": ";
}

// Whether the chips take commands now; when not, and not said since this power-up, the note says why.
bool powered_up(const device_context &dc, int chain, chain_state &c) {
    const chain_setup &s = dc.setup.chains[chain];
    if (!s.needs_power) return true;
    chain_power &p = c.power;
    const bool lines = p.slot0 && p.slot2 && p.slot2_in_order && p.slot1 && p.slot1_in_order;
    if (lines && dc.now_us >= p.slot1_at + ready_wait) return true;
    if (!p.told) {
        p.told = true;
        if (lines)
            dc.note(chain_name(chain) + "commanded " + seconds_text(dc.now_us - p.slot1_at) +
                    " s after slot 1, the board needs " + seconds_text(ready_wait) +
                    " s: the chips do not answer");
        else
            dc.note(chain_name(chain) + "its hash board is not powered up: the chips do not answer");
    }
    return false;
}

} // namespace

void chips_slot_driven(const device_context &dc, int chain, chain_state &c, int slot, int level) {
    if (!dc.setup.chains[chain].needs_power) return; // a hash board that needs none has nothing to say
    chain_power &p = c.power;
    const std::uint64_t now = dc.now_us;
    const std::string name = chain_name(chain);
    auto late = [&](const char *what, std::uint64_t since, const char *after, std::uint64_t needed) {
        const bool in_time = now - since >= needed;
        if (!in_time)
            dc.note(name + what + " raised " + seconds_text(now - since) + " s after " + after +
                    ", the board needs " + seconds_text(needed) + " s");
        return in_time;
    };
    if (level == 0) {
        (slot == 0 ? p.slot0 : slot == 1 ? p.slot1 : p.slot2) = false;
        // Without power the chips forget what they were doing.
        if (slot == 0) {
            c.output.clear();
            c.pending.clear();
            p.told = false;
        }
        return;
    }
    switch (slot) {
    case 0:
        p = chain_power{.slot0 = true, .slot1 = p.slot1, .slot2 = p.slot2, .slot0_at = now};
        if (p.slot2 || p.slot1)
            dc.note(name + "slot 0 (power enable) raised while slot " + (p.slot2 ? "2" : "1") +
                    " is high, the board needs slot 0 first");
        break;
    case 2:
        p.slot2 = true;
        p.slot2_at = now;
        p.slot2_in_order = p.slot0 && late("slot 2", p.slot0_at, "slot 0", slot2_wait);
        if (!p.slot0)
            dc.note(name + "slot 2 raised before slot 0 (power enable), the board needs slot 0 first");
        break;
    default:
        p.slot1 = true;
        p.slot1_at = now;
        p.slot1_in_order = p.slot2 && p.slot2_in_order && late("slot 1", p.slot2_at, "slot 2", slot1_wait);
        if (!p.slot2) dc.note(name + "slot 1 raised before slot 2, the board needs slot 2 first");
        break;
    }
    p.told = false;
}

void chips_receive(const device_context &dc, int chain, chain_state &c, const std::uint8_t *data,
                   std::size_t len) {
    const chain_setup &s = dc.setup.chains[chain];
    if (!s.inserted || !powered_up(dc, chain, c))
        return; // no hash board, or none at work: the bytes go nowhere
    if (len == 2) {
        c.pending.insert(c.pending.end(), data, data + len);
        if (c.pending.size() >= frame_length(c.pending)) {
            take_frame(s, c, c.pending);
            c.pending.clear();
        }
        return;
    }
    if (!c.pending.empty()) {
        c.frames.push_back(frame{"incomplete", c.pending, true});
        c.pending.clear();
    }
    take_frame(s, c, bytes(data, data + len));
}

void chips_send(const device_context &dc, int chain, chain_state &c, std::uint8_t *buf, std::size_t count) {
    const chain_setup &s = dc.setup.chains[chain];
    // An unpowered hash board drives nothing: its port reads zeros, as an empty slot's does.
    const bool answering = s.inserted && (!s.needs_power || powered_up(dc, chain, c));
    const std::uint8_t idle = answering ? s.silent.value_or(0x00) : 0x00;
    for (std::size_t i = 0; i < count; ++i) {
        if (c.output.empty() || !answering) {
            buf[i] = idle;
        } else {
            buf[i] = c.output.front();
            c.output.pop_front();
        }
    }
}

} // namespace boardsim::detail
