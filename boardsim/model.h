#pragma once

// The model of the board: a device for each family of the board's files, found through the table of
// the board's paths (paths.cpp). The model backend (model.cpp) checks what the kernel checks for
// every file and hands the rest to the file's device.
#include "board.h"

#include <string_view>

namespace boardsim::detail {

struct device {
    std::string_view prefix; // every path under it is the device's, as one of its files or missing
    board_path (*file)(std::string_view rest);
    // 0 when the file opens, else why not (an errno value).
    int (*open)(board &b, const board_path &where, int flags);
    ssize_t (*read)(board &b, open_file &f, void *buf, std::size_t count);
    ssize_t (*write)(board &b, open_file &f, const board_event &e, const void *buf, std::size_t count);
    // Names the request in e, and shows its argument, when the device knows it.
    int (*ioctl)(board &b, open_file &f, board_event &e, unsigned long request, void *arg);
    void (*close)(board &b, open_file &f);
};

extern const device gpio_lines;
extern const device fclk;
extern const device spi_ports;
extern const device voltage_generator;
extern const device watchdog_device;

// What the devices share: a failure with its errno; a whole decimal number and nothing else, as a path
// spells it ("896"); a decimal number as a sysfs attribute takes it ("+896"); the read of a text
// attribute whose whole content is `content`, from the file's offset.
ssize_t fail_with(int error);
std::optional<int> whole_number(std::string_view text);
std::optional<long long> attribute_number(std::string_view text);
ssize_t read_attribute(open_file &f, const std::string &content, void *buf, std::size_t count);

// The chips of a chain: a write reaching them (each write is one transfer), which queues their
// answer; a read clocking count bytes out of them.
void chips_receive(board &b, int chain, const std::uint8_t *data, std::size_t len);
void chips_send(board &b, int chain, std::uint8_t *buf, std::size_t count);

} // namespace boardsim::detail
