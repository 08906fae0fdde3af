// boardsim: runs one unmodified program on the simulated board and exits with its status.
#include "base/real.h"
#include "core/board.h"
#include "number.h"
#include "readers/recording.h"
#include "readers/scenario.h"
#include "runner/options.h"
#include "runner/program.h"
#include "runner/run_files.h"
#include "runner/server.h"
#include "spawn_program.h"
#include "writers/writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libc_baseline.h>
#include <linux/close_range.h>
#include <span>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

namespace {

using namespace boardsim;
using run::options;

constexpr int status_bad_use = 2;
constexpr int status_output_failed = 5;
// The signals the runner passes on to the program, as the operator's: the runner outlives them, ends
// the run as the program ends and puts its files in place.
constexpr std::array passed_on{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int self_pipe[2] = {-1, -1};

void caught(int sig) {
    const int error = errno;
    const char byte = static_cast<char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(self_pipe[1], &byte, 1);
    errno = error;
}

// The preload library beside the runner: where the install puts it, else where a build tree (or a
// copy of one on a board) keeps it.
std::string default_preload() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "libboardsim.so";
    std::string dir{self, static_cast<std::size_t>(n)};
    dir.erase(dir.rfind('/'));
    const std::string folder = dir.substr(0, dir.rfind('/'));
    const std::string installed = folder + "/lib/boardsim/libboardsim.so";
    return ::access(installed.c_str(), F_OK) == 0 ? installed : folder + "/lib/libboardsim.so";
}

// The program starts with standard input, output and error only, whatever the runner inherited, so
// that the descriptor numbers in a trace are the same from one run to the next.
void keep_only_standard_streams() {
    if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    const long max = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int fd = 3; fd < max; ++fd)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

std::vector<std::string> split_words(const std::string &text) {
    constexpr const char *blanks = " \t\n\v\f\r";
    std::vector<std::string> words;
    for (std::size_t at = 0; (at = text.find_first_not_of(blanks, at)) != std::string::npos;) {
        const std::size_t end = std::min(text.find_first_of(blanks, at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
}

// The waveform's save file for GTKWave: beside it, with ".gtkw" for its extension.
std::string save_file_of(const std::string &vcd) {
    const std::size_t slash = vcd.rfind('/');
    const std::size_t dot = vcd.rfind('.');
    const std::string stem =
        dot != std::string::npos && (slash == std::string::npos || dot > slash) ? vcd.substr(0, dot) : vcd;
    return stem + ".gtkw";
}

// The files the options name, inputs first, and where the outputs begin. The program and the preload
// library are inputs too: no run writes over them.
std::vector<run::named_file> named_files(const options &opt, const std::string &preload,
                                         std::size_t &first_output) {
    std::vector<run::named_file> files;
    auto add = [&](const char *option, const std::string &path) {
        if (!path.empty()) files.push_back({option, path});
    };
    add("--scenario", opt.scenario);
    add("--replay", opt.replay);
    add("--preload", preload);
    if (!opt.program.empty() && opt.program.front().find('/') != std::string::npos)
        add("the program", opt.program.front());
    first_output = files.size();
    add("--record", opt.record);
    add("--trace", opt.trace);
    add("--vcd", opt.vcd);
    if (!opt.vcd.empty()) add("--vcd's save file", save_file_of(opt.vcd));
    return files;
}

// The board the run needs, from what the options name: "" or the line that refuses it.
std::string make_board(const options &opt, detail::scenario &setup,
                       std::vector<detail::board_event> &recording) {
    std::string text;
    if (!opt.scenario.empty()) {
        if (std::string error = run::read_input(opt.scenario, text); !error.empty()) return error;
        if (std::string error = detail::parse_scenario(text, opt.scenario, setup); !error.empty())
            return error;
    }
    if (!opt.replay.empty()) {
        if (std::string error = run::read_input(opt.replay, text); !error.empty()) return error;
        if (std::string error = detail::parse_recording(text, opt.replay, recording); !error.empty())
            return error;
    }
    if (const std::optional<std::uint64_t> n = parse_number<std::uint64_t>(opt.fail_op)) setup.fail_op = *n;
    return "";
}

// The program's environment: the caller's, with the preload library (before any of the caller's) and
// the channel to the board; the stand-in board library beside the preload one, where there is one, is
// the programs' on the model and in a replay (a recording uses the board's own).
std::vector<std::string> program_environment(const std::string &preload, int channel, bool standin,
                                             std::vector<std::string> &loader) {
    std::vector<std::string> env;
    std::string preloads = preload;
    std::string library_path;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry{*e};
        if (entry.starts_with("BOARDSIM_")) continue;
        if (entry.starts_with("LD_PRELOAD=")) {
            preloads += " " + std::string{entry.substr(11)};
            continue;
        }
        if (entry.starts_with("LD_LIBRARY_PATH=")) {
            library_path = entry.substr(16);
            continue;
        }
        env.emplace_back(entry);
    }
    const std::string folder =
        preload.find('/') != std::string::npos ? preload.substr(0, preload.rfind('/')) : ".";
    if (standin && ::access((folder + "/libvexa.so").c_str(), R_OK) == 0)
        library_path += (library_path.empty() ? "" : ":") + folder;
    loader.push_back("LD_PRELOAD=" + preloads);
    if (!library_path.empty()) loader.push_back("LD_LIBRARY_PATH=" + library_path);
    loader.push_back("BOARDSIM_CONTROL_FD=" + std::to_string(channel));
    loader.push_back("BOARDSIM_PRELOAD=" + preload);
    return env;
}

// The path from the root, of a file that may not be there yet: its folder's real path and its name.
std::string absolute_path(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    char where[PATH_MAX];
    if (::realpath(folder.c_str(), where) == nullptr) return path;
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return std::string{where} + (std::string_view{where} == "/" ? "" : "/") + name;
}

// The timeline's width: the terminal's, or 80 columns.
int terminal_columns() {
    winsize size{};
    return ::isatty(2) != 0 && ::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

// The run's outputs: the trace, the recording, the waveform and its save file (each a file that
// takes its name when the run ends), and the timeline on standard error.
struct run_outputs {
    run::output_file trace;
    run::output_file record;
    run::output_file vcd;
    run::output_file save_file;
    std::unique_ptr<detail::output> timeline;
};

// Opens every output the options name: "" or the line that refuses the run.
std::string open_outputs(const options &opt, run_outputs &out) {
    const std::array<std::pair<const std::string, run::output_file *>, 4> named{{
        {opt.trace, &out.trace},
        {opt.record, &out.record},
        {opt.vcd, &out.vcd},
        {opt.vcd.empty() ? "" : save_file_of(opt.vcd), &out.save_file},
    }};
    for (const auto &[path, file] : named)
        if (!path.empty())
            if (std::string error = file->open(path); !error.empty()) return error;
    return "";
}

// The writers of the run's events, each on its output.
void attach_writers(detail::board &b, const options &opt, run_outputs &out) {
    for (run::output_file *text : {&out.trace, &out.record})
        if (text->is_open()) b.writers.push_back(detail::trace_writer(text->out()));
    if (out.vcd.is_open())
        b.writers.push_back(detail::vcd_writer(
            out.vcd.out(), out.save_file.is_open() ? &out.save_file.out() : nullptr, absolute_path(opt.vcd)));
    if (opt.timeline) {
        out.timeline = std::make_unique<detail::output>(::fcntl(2, F_DUPFD_CLOEXEC, 3), "standard error");
        b.writers.push_back(detail::timeline_writer(*out.timeline, terminal_columns()));
    }
}

// However the run ended, what it left is the run's: each file takes its name now, unless a write
// failed (a waveform's save file goes with its waveform). False when an output is not whole.
bool put_in_place(run_outputs &out) {
    bool whole = out.timeline == nullptr || !out.timeline->failed();
    out.timeline.reset();
    if (out.vcd.is_open() && out.vcd.out().failed()) out.save_file.discard();
    for (run::output_file *file : {&out.trace, &out.record, &out.vcd, &out.save_file})
        whole = file->commit() && whole;
    return whole;
}

// The board the run needs: the model, the machine's own files while recording, or the recording.
void bring_up_board(const options &opt, detail::scenario setup, std::vector<detail::board_event> recording) {
    std::unique_ptr<detail::backend> answers;
    if (!opt.record.empty() || !opt.replay.empty()) {
        setup.time_limit_us = 0;
        setup.operation_limit = 0;
        answers =
            !opt.record.empty() ? detail::record_backend() : detail::replay_backend(std::move(recording));
    } else {
        answers = detail::model_backend();
    }
    detail::activate(std::move(setup), std::move(answers), false, false);
}

// The program's command line: itself, or the emulator that runs it, which hands the loader's
// settings to the emulated program alone. Returns 0, or the status that refuses the run.
int command_line(const options &opt, const std::string &program, const std::vector<std::string> &loader,
                 std::vector<std::string> &args) {
    if (!opt.emulator.empty()) {
        args = split_words(opt.emulator);
        // The emulator is found on the PATH as the shell finds a program.
        const run::program_check emulator = run::find_on_path(args.front());
        if (emulator.status != 0) {
            std::fprintf(stderr, "%s\n", emulator.message.c_str());
            return emulator.status;
        }
        args.front() = emulator.path;
        for (const std::string &s : loader)
            args.insert(args.end(), {"-E", s});
    }
    args.push_back(program);
    args.insert(args.end(), opt.program.begin() + 1, opt.program.end());
    return 0;
}

// Starts the program with the board's channel (`control`, its end of the pair handed to the program),
// once the runner catches the signals it passes on. Returns its process, or -1 with `status` set.
pid_t start(const options &opt, const std::string &program, const std::string &preload, int control,
            int &status) {
    std::vector<std::string> loader;
    std::vector<std::string> env = program_environment(preload, control, opt.record.empty(), loader);
    if (opt.emulator.empty()) env.insert(env.end(), loader.begin(), loader.end());
    std::vector<std::string> args;
    if ((status = command_line(opt, program, loader, args)) != 0) return -1;
    std::vector<const char *> argv_c;
    for (const std::string &a : args)
        argv_c.push_back(a.c_str());
    argv_c.push_back(nullptr);
    std::vector<const char *> env_c;
    for (const std::string &e : env)
        env_c.push_back(e.c_str());
    env_c.push_back(nullptr);

    struct sigaction catcher {};
    catcher.sa_handler = caught;
    sigemptyset(&catcher.sa_mask);
    catcher.sa_flags = SA_RESTART;
    for (const int sig : passed_on)
        ::sigaction(sig, &catcher, nullptr);
    ::sigaction(SIGCHLD, &catcher, nullptr);

    const std::array handed{control};
    int error = 0;
    const pid_t pid = spawn_program(
        {.argv = argv_c.data(), .envp = env_c.data(), .handed = handed, .parent_death_signal = SIGKILL},
        error);
    if (pid < 0) {
        std::fprintf(stderr, "boardsim: cannot run %s: %s\n", args.front().c_str(), std::strerror(error));
        status = error == ENOENT ? 127 : 126;
    }
    return pid;
}

// The runner's status: the program's own, unless the run ended otherwise.
int run_status(const detail::board &b, const run::run_result &result, const options &opt) {
    if (!result.reached) {
        std::fprintf(
            stderr,
            "boardsim: %s never reached the simulated board (its preload library did not load); the run "
            "fails\n",
            opt.program.front().c_str());
        return status_bad_use;
    }
    if (result.off_the_board) return status_bad_use;
    if (b.ended && b.ended->kind == detail::run_end::how::status) return b.ended->value;
    if (b.ended && b.ended->kind == detail::run_end::how::reset) return detail::status_reset;
    return result.program_status;
}

} // namespace

int main(int argc, char **argv) {
    // A full disk or a file-size limit is a failed write, never the runner's end; so is a reader gone.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    options opt;
    if (const int status = run::read_options(argc, argv, opt); status >= 0) return status;

    const std::string preload = opt.preload.empty() ? default_preload() : opt.preload;
    std::size_t first_output = 0;
    if (const std::string clash = run::same_file(named_files(opt, preload, first_output), first_output);
        !clash.empty()) {
        std::fprintf(stderr, "boardsim: %s\n", clash.c_str());
        return status_bad_use;
    }
    // A scenario or recording is read once, here, and refused before the program runs when it is bad,
    // with the place and what was expected.
    detail::scenario setup;
    std::vector<detail::board_event> recording;
    if (const std::string error = make_board(opt, setup, recording); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return status_bad_use;
    }
    if (opt.check) return 0;
    const run::program_check program =
        run::check_program(opt.program.front(), preload, !opt.emulator.empty());
    if (program.status != 0) {
        std::fprintf(stderr, "%s\n", program.message.c_str());
        return program.status;
    }

    keep_only_standard_streams();
    run_outputs outputs;
    if (const std::string error = open_outputs(opt, outputs); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return status_bad_use;
    }
    bring_up_board(opt, std::move(setup), std::move(recording));
    detail::board &b = *detail::current();
    attach_writers(b, opt, outputs);

    // The channel the program's processes come onto the board by.
    int control[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, control) != 0 || ::pipe(self_pipe) != 0) {
        std::fprintf(stderr, "boardsim: no channel for the program: %s\n", std::strerror(errno));
        return status_bad_use;
    }
    for (const int fd : {control[0], control[1], self_pipe[0], self_pipe[1]})
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(self_pipe[1], F_SETFL, O_NONBLOCK);
    int status = 0;
    const pid_t pid = start(opt, program.path, preload, control[1], status);
    ::close(control[1]);
    if (pid < 0) return status;

    status = run_status(b, run::serve(b, control[0], self_pipe[0], pid), opt);
    detail::deactivate_board();
    return put_in_place(outputs) ? status : status_output_failed;
}
