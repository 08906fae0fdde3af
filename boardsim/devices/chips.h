#pragma once

// The chips of one chain as the host sees them through the chain's SPI port: frames in, replies out.
#include "devices/device.h"

#include <deque>

namespace boardsim::detail {

// The hash board's power-up, from the levels of its slot lines: slot 0 (power enable) first, slot 2 at
// least 5 s later, slot 1 at least 1 s after that, and the chips ready 1 s later.
struct chain_power {
    bool slot0 = false; // the levels driven now
    bool slot1 = false;
    bool slot2 = false;
    std::uint64_t slot0_at = 0; // when each was last raised
    std::uint64_t slot1_at = 0;
    std::uint64_t slot2_at = 0;
    bool slot2_in_order = false; // raised while slot 0 was high, and after its wait
    bool slot1_in_order = false;
    bool told = false; // the note that the chips do not answer is written, for this power-up
};

struct chain_state {
    chain_power power;
    std::deque<std::uint8_t> output;   // bytes the chips will clock out next
    std::vector<std::uint8_t> pending; // a frame arriving pair by pair
    std::vector<frame> frames;
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};

// A write reaching the chips (each write is one transfer), which queues their answer; a read clocking
// count bytes out of them. A hash board that needs power takes and gives nothing before its power-up.
void chips_receive(const device_context &dc, int chain, chain_state &c, const std::uint8_t *data,
                   std::size_t len);
void chips_send(const device_context &dc, int chain, chain_state &c, std::uint8_t *buf, std::size_t count);
// One of the chain's slot lines driven to a new level (slot 0, 1 or 2).
void chips_slot_driven(const device_context &dc, int chain, chain_state &c, int slot, int level);

} // namespace boardsim::detail
