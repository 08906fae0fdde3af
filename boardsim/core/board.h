#pragma once

// The board of one run. The interposer hands it the board operations of every process of the run in
// the order they are made; the core numbers each, makes the failure that fault injection asks for,
// names the request from its device's table, has the run's backend answer it (the model, the
// machine's real board files while recording, or a recording), keeps the open files and each
// process's descriptors, moves the clock, and shows the outcome to the writers. When the run ends (a
// limit, the operator's stop, a replay that departs, the watchdog's reset), the core writes the last
// lines and says how the program is to end; the interposer or the runner carries it out. The core
// reaches a descriptor only through the C library's own functions (base/real.h), so the board never
// calls back into the interposer.
#include "base/real.h"
#include "devices/device.h"
#include "readers/scenario.h"
#include "writers/writer.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace boardsim::detail {

struct board;

// A process of the run on the board: its number (1 for the run's program, the next free one for
// another at its first call on the board, 0 before), the command it runs, and its board descriptors,
// each the program's own number for an open file.
struct process {
    std::uint32_t number = 1;
    int pid = 0;
    std::string command;
    std::map<int, std::uint32_t> fds;
};

// How the run ended, for whoever runs the program to carry out; its lines and its message are
// written already.
struct run_end {
    enum class how {
        over,   // the program ended by itself: nothing more to do
        signal, // the program gets the signal (the operator's stop, a recorded signal)
        status, // the program ends with this exit status (a replay that departs)
        reset,  // the board resets: every process of the run ends at once
    };
    how kind = how::over;
    int value = 0; // the signal or the status
};

// A signal for the process whose call brought it: it goes on if it survives the signal, unless it is to
// end all the same (the board's own stop, as a replay gives it again).
struct delivery {
    int signal = 0;
    bool then_exit = false;
};

// ---- where the answers come from ----

// Chosen once, when the board comes up. Each operation arrives as the program asked for it (`e`
// holds its number, path, flags, count, the bytes written, and a request's name and argument as its
// device names them); the backend answers it and returns the result, errno set when it failed. The
// core has already dealt with an injected failure, keeps the files and descriptors, and reads back
// what a request left in its argument.
struct process_turn {
    std::uint32_t number = 0;
    std::string_view command;
};

class backend {
  public:
    backend() = default;
    backend(const backend &) = delete;
    backend &operator=(const backend &) = delete;
    virtual ~backend() = default;

    // A new open file: 0, or -1 with errno.
    virtual int open(board &b, board_event &e, open_file &f) = 0;
    virtual ssize_t read(board &b, board_event &e, open_file &f, void *buf) = 0;
    virtual ssize_t write(board &b, board_event &e, open_file &f, const void *buf) = 0;
    virtual int ioctl(board &b, board_event &e, open_file &f, void *arg) = 0;
    // A descriptor closed; `last` when it was the last that held the file.
    virtual int close(board &b, board_event &e, open_file &f, bool last) = 0;
    // A file that no descriptor holds any more without a close: its process ended.
    virtual void release(board &b, open_file &f) = 0;
    // A wait: before it shows in the trace; its time passing (the clock moves, by less when the run
    // ends on the way).
    virtual void wait(board & /*b*/, const board_event & /*e*/) {}
    virtual void pass(board &b, std::uint64_t microseconds) = 0;
    // After an operation or a wait shows in the trace.
    virtual void shown(board & /*b*/, const board_event & /*e*/) {}
    // The program ends, before the last lines.
    virtual void end(board & /*b*/) {}
    // The process whose operation or wait must come next, where the answers hold the run to an order
    // (a replay): its number (0 when none is left to come) and the program it ran then; nothing where
    // any may go.
    virtual std::optional<process_turn> turn() const { return std::nullopt; }
};
std::unique_ptr<backend> model_backend();
std::unique_ptr<backend> record_backend();
std::unique_ptr<backend> replay_backend(std::vector<board_event> recording);

// The exit status of a program stopped because it departed from the recording.
constexpr int status_departed = 3;
// The runner's status when the watchdog reset the board.
constexpr int status_reset = 4;

// ---- the board ----

struct board {
    scenario setup;
    std::unique_ptr<backend> answers;
    device_states devices = new_device_states();
    std::map<std::uint32_t, open_file> files; // by number, which is the order they were opened in
    std::uint32_t next_file = 1;
    std::vector<std::unique_ptr<process>> processes; // the first is the run's program
    std::uint32_t last_number = 1;                   // the last process number given
    std::uint64_t clock_us = 0;
    std::size_t next_event = 0; // the scenario's first event in time still to come
    std::uint64_t ops = 0;
    std::uint64_t fail_at = 0;        // operation number that fails, 0 for none
    std::optional<std::string> stop;  // a device ends the program once the operation shows: why
    std::optional<board_reset> reset; // a device resets the board
    std::vector<std::string> notes;   // lines the devices wrote of themselves, to be shown
    std::optional<run_end> ended;
    std::optional<delivery> deliver; // a signal the process that asked is to get now
    int last_signal = 0;             // the signal the trace wrote last
    bool keep_trace = true;
    std::vector<std::string> trace; // lines with the time prefix
    // The descriptors are this process's own (the board in the program's process): they go with it.
    bool own_descriptors = false;
    std::vector<std::unique_ptr<event_writer>> writers;
    // A real wait, while recording: sleeps up to the time given and says how long it slept (shorter
    // when the program is gone meanwhile).
    std::uint64_t (*sleep)(std::uint64_t microseconds) = nullptr;
};

board *current();
// The run's board, with its first process: the scenario (its limits hold for the model alone) and
// where its answers come from. Outputs are writers the caller adds.
void activate(scenario setup, std::unique_ptr<backend> answers, bool keep_trace, bool own_descriptors);
void deactivate_board();

process &first_process(board &b);
// A process that comes onto the board (a program that another started), with the descriptors it
// inherited (the program's number and the open file). Its number and its line in the trace,
// "process N: COMMAND", come with its first call on the board.
process &add_process(board &b, int pid, std::string command, const std::map<int, std::uint32_t> &inherited);
// A process has ended: the kernel closes its descriptors. Its line says which files it left open.
void process_ended(board &b, process &p);
// A process starts another program: what it held with close-on-exec is let go.
void exec_process(board &b, process &p, std::string command);

// The operations, for a process's descriptors. An open is given the descriptor the program will see
// (made before, so that the number is the one the program gets); -1 when the open fails, which the
// caller then closes.
int board_open(board &b, process &p, int fd, const char *path, const board_path &where, int flags);
ssize_t board_read(board &b, process &p, int fd, void *buf, std::size_t count);
ssize_t board_write(board &b, process &p, int fd, const void *buf, std::size_t count);
int board_ioctl(board &b, process &p, int fd, unsigned long request, void *arg);
int board_close(board &b, process &p, int fd);
// A descriptor made a copy of another (dup, dup2, dup3, fcntl's F_DUPFD): `to` holds `from`'s file, after
// letting go of what it held. Dropped: a board descriptor that a copy of one of the machine's own
// descriptors replaced, let go as the kernel lets it go. Neither is a board operation.
void copy_descriptor(board &b, process &p, int from, int to);
void drop_descriptor(board &b, process &p, int fd);
void board_wait(board &b, process &p, std::uint64_t microseconds);

// The end line, "end: still open: ...; N board operations", shown and returned; before it, what the
// devices say they are left doing (the watchdog still running).
std::string finish_run(board &b);
void show_end_notes(board &b);
// The program has ended by itself, or by a signal (written down, unless the trace has just said it):
// the backend has its word first, then every file is let go, the devices say what they are left
// doing (the watchdog still running) and the end line comes.
void program_ended(board &b);
void program_killed(board &b, int sig);
// A signal from outside, passed on to the program: written down at the time it came.
void signal_arrived(board &b, int sig, std::uint64_t at);

// For the backends and devices: an event shown to the trace and the writers (at the clock's time, or
// its own when `at` is given); the run ended as the operator's kill would, after "signal SIGTERM
// <why>" and the end line; the run ended by the board's reset, with its line on standard error; a line
// of the simulated board's own on standard error ("boardsim: ...").
void emit(board &b, board_event e, std::optional<std::uint64_t> at = std::nullopt);
void show_notes(board &b);
void stop_program(board &b, const std::string &why);
void reset_board(board &b, const board_reset &reset);
void say(const std::string &line);

device_context context(board &b);

} // namespace boardsim::detail
