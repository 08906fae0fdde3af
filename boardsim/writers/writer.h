#pragma once

// The writers of the board's events: the waveform file and the timeline (besides the text trace, which
// the core writes). Each gets every event as it happens, the end event last, and asks the event's
// device what it draws.
#include "base/event.h"

#include <memory>

namespace boardsim::detail {

struct event_writer {
    event_writer() = default;
    event_writer(const event_writer &) = delete;
    event_writer &operator=(const event_writer &) = delete;
    virtual ~event_writer() = default;
    virtual void write(const board_event &e) = 0;
};

// A Value Change Dump of the run on fd, kept whole after every event; a chart of the run written to
// fd at its end, columns wide.
std::unique_ptr<event_writer> vcd_writer(int fd);
std::unique_ptr<event_writer> timeline_writer(int fd, int columns);

} // namespace boardsim::detail
