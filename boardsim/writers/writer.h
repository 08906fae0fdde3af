#pragma once

// The writers of the board's events: the text trace (and a recording, which is one), the waveform
// file and the timeline. Each gets every event as it happens, the end event last; the waveform and
// the timeline ask the event's device what it draws.
#include "base/event.h"
#include "writers/output.h"

#include <memory>
#include <string>

namespace boardsim::detail {

struct event_writer {
    event_writer() = default;
    event_writer(const event_writer &) = delete;
    event_writer &operator=(const event_writer &) = delete;
    virtual ~event_writer() = default;
    virtual void write(const board_event &e) = 0;
};

// A line per event; a Value Change Dump of the run, kept whole after every event, and at its end, when
// asked for, a GTKWave save file that opens dump_file with its variables shown; a chart of the run
// written at its end, columns wide.
std::unique_ptr<event_writer> trace_writer(output &out);
std::unique_ptr<event_writer> vcd_writer(output &out, output *save_file = nullptr,
                                         std::string dump_file = "");
std::unique_ptr<event_writer> timeline_writer(output &out, int columns);

} // namespace boardsim::detail
