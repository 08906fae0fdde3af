#pragma once

// Each chain slot's hash board as its GPIO lines reach it: which sysfs lines control it, and the
// power-up that makes its chips answer. Used by the probe and by the stand-in board library.
#include "zynq_spi.h"

#include <array>
#include <cstdint>

// sysfs GPIO numbers of each chain's control lines, by slot of spi_ctx::gpio (slot 3 unused).
struct chain_lines {
    std::int32_t slot0; // power enable: raised first, then the longest wait
    std::int32_t slot1; // raised last, 1 s before the reset
    std::int32_t slot2; // raised 5 s after slot 0
    std::int32_t slot4; // insertion detect: 1 means no hash board
};

inline constexpr std::array<chain_lines, 8> chain_gpio{{
    {872, 854, 855, 896},
    {873, 856, 857, 897},
    {874, 858, 859, 898},
    {875, 860, 861, 899},
    {876, 862, 863, 900},
    {877, 864, 865, 901},
    {878, 890, 891, 902},
    {879, 892, 893, 903},
}};

// The hash board's power-up on the lines in spi.gpio: the chips need these levels in this order, with
// these settling times (13 s in all).
void power_up(const spi_ctx &spi);
