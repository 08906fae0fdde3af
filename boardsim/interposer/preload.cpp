// Start and end of a program on the simulated board, through the preload library. Under the runner
// (BOARDSIM_CONTROL_FD, the channel it handed the program), every process of the run comes onto the
// runner's one board before its main, and says when it ends; a process that cannot reach that board
// does not run at all. Used on its own (LD_PRELOAD, with BOARDSIM_SCENARIO, BOARDSIM_REPLAY,
// BOARDSIM_RECORD, BOARDSIM_TRACE and BOARDSIM_VCD naming files), the library keeps a board of the
// process's own, whose trace and recording are appended to their files.
#include "core/board.h"
#include "interposer/remote.h"
#include "number.h"
#include "readers/recording.h"
#include "readers/scenario.h"
#include "writers/writer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libc_baseline.h>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

// What the runner looks for before it starts a program: that the library it was given is this one.
extern "C" __attribute__((visibility("default"))) const char boardsim_preload_marker[] =
    "the simulated board's preload library";

namespace {

using boardsim::detail::real;

// The files of a board used on its own lie far above the program's descriptors, so that the program
// sees the descriptor numbers it would see on the board.
constexpr int own_floor = 200;

[[noreturn]] void refuse(const std::string &message, int status = 2) {
    const std::string line = "boardsim: " + message + "\n";
    [[maybe_unused]] const ssize_t n = real().write(2, line.data(), line.size());
    ::_exit(status);
}

// The runner's channel, moved far above the program's own descriptors and left open for its children,
// whose own processes come onto the same board; the setting follows it to its new number.
void join(const char *value) {
    const std::optional<int> given = parse_number<int>(value);
    if (!given || *given < 0) refuse(std::string{"BOARDSIM_CONTROL_FD: expected a descriptor, got "} + value);
    int fd = *given;
    if (fd < own_floor) {
        fd = ::fcntl(*given, F_DUPFD, own_floor);
        if (fd >= 0) {
            real().close(*given);
            ::setenv("BOARDSIM_CONTROL_FD", std::to_string(fd).c_str(), 1);
        }
    }
    // It ends with its parent, so that nothing of the run outlives the runner; set before it comes onto
    // the board, so that a runner that ends meanwhile either refuses it below or takes it along.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A process that cannot reach the runner's board does not run: on a board it would drive the
    // real hardware while its user believes it simulated.
    if (fd < 0 || !boardsim::detail::join_runner(fd))
        refuse("this process cannot reach the simulated board's runner (its channel, descriptor " +
                   std::string{value} + ", is gone); it does not run",
               127);
}

// An input of a board used on its own, whole: false when there is none.
bool own_input(const char *variable, std::string &text, std::string &file) {
    const char *path = std::getenv(variable);
    if (path == nullptr || *path == '\0') return false;
    file = path;
    if (!boardsim::detail::read_whole_file(path, text))
        refuse(file + ": cannot be read: " + std::strerror(errno));
    return true;
}

// An output of a board used on its own, or nullptr. The trace and the recording grow by appending; a
// waveform is rewritten in place.
boardsim::detail::output *own_output(const char *variable, bool append) {
    const char *path = std::getenv(variable);
    if (path == nullptr || *path == '\0') return nullptr;
    const int fd = real().open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : 0), 0644);
    if (fd < 0) refuse(std::string{path} + ": cannot be written: " + std::strerror(errno));
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, own_floor);
    real().close(fd);
    if (high < 0) refuse(std::string{path} + ": no descriptor for it");
    // Never freed: the program's last calls, its exit among them, are written to it.
    return new boardsim::detail::output{high, path};
}

void board_of_its_own() {
    using namespace boardsim::detail;
    scenario setup;
    std::string text;
    std::string name;
    if (own_input("BOARDSIM_SCENARIO", text, name)) {
        const std::string error = parse_scenario(text, name, setup);
        if (!error.empty()) refuse(error);
    }
    std::vector<board_event> recorded;
    const bool replay = own_input("BOARDSIM_REPLAY", text, name);
    if (replay) {
        const std::string error = parse_recording(text, name, recorded);
        if (!error.empty()) refuse(error);
    }
    output *trace = own_output("BOARDSIM_TRACE", true);
    output *record = own_output("BOARDSIM_RECORD", true);
    output *vcd = own_output("BOARDSIM_VCD", false);
    // The answers come from the real board while recording, from a recording when replaying, else
    // from the model, whose limits are the only ones.
    std::unique_ptr<backend> answers;
    if (record != nullptr || replay) {
        setup.time_limit_us = 0;
        setup.operation_limit = 0;
        answers = record != nullptr ? record_backend() : replay_backend(std::move(recorded));
    } else {
        answers = model_backend();
    }
    activate(std::move(setup), std::move(answers), false, true);
    board &b = *current();
    for (output *out : {trace, record})
        if (out != nullptr) b.writers.push_back(trace_writer(*out));
    if (vcd != nullptr) b.writers.push_back(vcd_writer(*vcd));
}

__attribute__((constructor)) void boardsim_start() {
    if (const char *control = std::getenv("BOARDSIM_CONTROL_FD"); control != nullptr && *control != '\0') {
        join(control);
        return;
    }
    board_of_its_own();
}

__attribute__((destructor)) void boardsim_end() {
    if (boardsim::detail::on_runner_board()) {
        boardsim::detail::leave_runner();
    } else if (boardsim::detail::board *b = boardsim::detail::current(); b != nullptr) {
        boardsim::detail::program_ended(*b);
    }
}

} // namespace
