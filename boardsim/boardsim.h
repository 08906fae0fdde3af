#pragma once

// The simulated board, driven from inside a test executable that links boardsim_inproc.
//
// While no board is active every interposed call passes through to the C library, so the test
// framework itself is unaffected. reset() or load_scenario() makes a board active: from then on the
// board's files (sysfs GPIO, fclk1, spidev ports, vidgen, watchdog) are served by the model, and every
// wait advances the virtual clock and returns at once.
#include "devices/state.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace boardsim {

// Makes the default board active (see boardsim/README.md): clock at 0, trace empty, nothing open.
void reset();

// Makes the board that the scenario text describes active, on top of the default board. Returns the
// empty text on success, or "NAME:LINE: <what was expected>"; on failure the board is left as it was.
std::string load_scenario(std::string_view text, std::string_view name = "scenario");
std::string load_scenario_file(const std::string &path);

// Checks a scenario without touching the board: the same result text as load_scenario.
std::string check_scenario(std::string_view text, std::string_view name = "scenario");
// Checks a recording (the trace's lines, see boardsim/README.md): "" or "NAME:LINE: expected ...".
std::string check_recording(std::string_view text, std::string_view name = "recording");

// Ends the simulation: every call passes through again. Board descriptors still open are dropped.
void deactivate();
bool active();

// Trace lines in order, as documented in boardsim/README.md. Without the time, a line starts at its
// operation number ("#12 open ..."); without descriptor numbers, an open reads "= fd" instead of "= fd 5".
struct trace_format {
    bool time = false;
    bool fd_numbers = true;
};
std::vector<std::string> trace(trace_format format = {});
void clear_trace();

// The closing line that a program run under the runner ends its trace with: the board files still
// open and the count of board operations. Appended to the trace, after what the devices say they are
// left doing (the watchdog still running, and when it would reset the board).
std::string finish();

// Virtual clock, in microseconds since the board was made active.
std::uint64_t clock_us();

// Fault injection: the Nth board operation from now on (1 = the next one) fails. 0 turns it off.
// Board operations are opens, reads, writes, requests and closes of board files; waits do not count.
void fail_op(std::uint64_t n);
std::uint64_t op_count(); // board operations since the board was made active

// Board files open right now, by path, in the order they were opened.
std::vector<std::string> open_files();

// std::nullopt for a line that no program has touched.
std::optional<gpio_state> gpio(int line);

// fclk1's set_rate file: the last text written to it (empty when none) and its export count.
std::string fclk_rate_written();
int fclk_exports();

// What the driver of spidev<bus>.0 holds now (after the program's requests).
spi_port_state spi_port(int bus);

// Every frame the chips of the chain received, in order.
std::vector<frame> frames(int chain);

// What the watchdog saw: opens, keep-alives, timeouts, writes.
watchdog_state watchdog();

// Each argument the vidgen request was given, in order.
std::vector<long> vidgen_args();

} // namespace boardsim
