#pragma once

// The chips of one chain as the host sees them through the chain's SPI port: frames in, replies out.
#include "devices/device.h"

#include <deque>

namespace boardsim::detail {

struct chain_state {
    std::deque<std::uint8_t> output;   // bytes the chips will clock out next
    std::vector<std::uint8_t> pending; // a frame arriving pair by pair
    std::vector<frame> frames;
    std::uint64_t reads = 0;
    std::uint64_t writes = 0;
};

// A write reaching the chips (each write is one transfer), which queues their answer; a read clocking
// count bytes out of them.
void chips_receive(const chain_setup &s, chain_state &c, const std::uint8_t *data, std::size_t len);
void chips_send(const chain_setup &s, chain_state &c, std::uint8_t *buf, std::size_t count);

} // namespace boardsim::detail
