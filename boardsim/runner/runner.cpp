// boardsim: runs one unmodified program on the simulated board and exits with its status.
#include "base/real.h"
#include "readers/recording.h"
#include "readers/scenario.h"
#include "runner/run_files.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libc_baseline.h>
#include <linux/close_range.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

namespace {

constexpr const char *usage_text =
    "usage: boardsim [--scenario FILE | --record FILE | --replay FILE] [--trace FILE] [--vcd FILE]\n"
    "                [--timeline] [--fail-op N] [--preload LIB] [--emulator \"CMD ARGS\"] [--check]\n"
    "                -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM on the simulated board and exits with its status (128+N when signal N ended it).\n"
    "  --scenario FILE   the board to simulate (default: the default board, see boardsim/README.md)\n"
    "  --record FILE     no model: the machine's real board files, every operation written to FILE\n"
    "  --replay FILE     the recording FILE answers in place of the model (status 3 when PROGRAM\n"
    "                    departs from it)\n"
    "  --trace FILE      write the trace of every board operation to FILE\n"
    "  --vcd FILE        write the run as a waveform (Value Change Dump) to FILE\n"
    "  --timeline        draw the run's GPIO levels and SPI transfers on standard error at its end\n"
    "  --fail-op N       make the Nth board operation fail\n"
    "  --preload LIB     the interposer library (default: ../lib/boardsim/libboardsim.so beside this\n"
    "                    runner, or ../lib/libboardsim.so)\n"
    "  --emulator CMD    run PROGRAM as CMD -E LD_PRELOAD=... -E ... PROGRAM (e.g. \"qemu-arm -L "
    "/usr/arm-linux-gnueabihf\")\n"
    "  --check           only check the scenario and exit\n"
    "  --help, --version this text; the version\n";

constexpr int status_bad_use = 2;

struct options {
    std::string scenario;
    std::string record;
    std::string replay;
    std::string vcd;
    bool timeline = false;
    std::string trace;
    std::string fail_op;
    std::string preload;
    std::string emulator;
    bool check = false;
    std::vector<std::string> program;
};

volatile sig_atomic_t child_pid = 0;
constexpr std::array forwarded_signals{SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void forward_signal(int sig) {
    if (child_pid > 0) ::kill(static_cast<pid_t>(child_pid), sig);
}

int bad_use(const std::string &message) {
    std::fprintf(stderr, "boardsim: %s\n%s", message.c_str(), usage_text);
    return status_bad_use;
}

// Where the value of an option that takes one goes; nullptr for any other word.
std::string *value_option(options &opt, const std::string &arg) {
    const std::array<std::pair<const char *, std::string *>, 8> takes_value{{{"--scenario", &opt.scenario},
                                                                             {"--record", &opt.record},
                                                                             {"--replay", &opt.replay},
                                                                             {"--vcd", &opt.vcd},
                                                                             {"--trace", &opt.trace},
                                                                             {"--fail-op", &opt.fail_op},
                                                                             {"--preload", &opt.preload},
                                                                             {"--emulator", &opt.emulator}}};
    for (const auto &[name, value] : takes_value)
        if (arg == name) return value;
    return nullptr;
}

// Options that make no sense together; -1 when there are none.
int check_options(const options &opt) {
    if (!opt.fail_op.empty() && opt.fail_op.find_first_not_of("0123456789") != std::string::npos)
        return bad_use("--fail-op needs a number, got " + opt.fail_op);
    if (opt.program.empty() && !opt.check) return bad_use("no program to run");
    int boards = 0;
    for (const std::string *board : {&opt.scenario, &opt.record, &opt.replay})
        if (!board->empty()) ++boards;
    if (boards > 1) return bad_use("--scenario, --record and --replay each name the whole board: give one");
    if (boards == 1 && opt.scenario.empty() && !opt.fail_op.empty())
        return bad_use("--fail-op needs the model: not with --record or --replay");
    return -1;
}

// Returns -1 when the options were read, else the exit status to end with.
int parse_options(int argc, char **argv, options &opt) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("boardsim %s\n", BOARD_TOOLS_VERSION);
            return 0;
        }
        if (arg == "--check" || arg == "--timeline") {
            (arg == "--check" ? opt.check : opt.timeline) = true;
            continue;
        }
        std::string *value = value_option(opt, arg);
        if (value == nullptr) {
            if (arg.starts_with("-")) return bad_use("unknown option " + arg);
            break;
        }
        if (i + 1 >= argc) return bad_use(arg + " needs a value");
        *value = argv[++i];
    }
    for (; i < argc; ++i)
        opt.program.emplace_back(argv[i]);
    return check_options(opt);
}

// The preload library beside the runner: where the install puts it, else where a build tree (or a
// copy of one on a board) keeps it.
std::string default_preload() {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "libboardsim.so";
    std::string dir{self, static_cast<std::size_t>(n)};
    dir.erase(dir.rfind('/'));
    const std::string installed = dir + "/../lib/boardsim/libboardsim.so";
    return ::access(installed.c_str(), F_OK) == 0 ? installed : dir + "/../lib/libboardsim.so";
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

// Starts the program with the environment env, handing it the descriptors `handed` besides its
// standard streams. Returns its process, or -1 with error set to why it could not be started (the
// exec's own error, which comes back through a pipe that a successful exec closes).
pid_t start_program(char **argv, char **env, const std::vector<int> &handed, int &error) {
    int report[2];
    if (::pipe(report) != 0) {
        error = errno;
        return -1;
    }
    for (const int fd : report)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A signal meant for the program that comes before it runs ends it, as it would end it later.
        for (const int sig : forwarded_signals)
            ::signal(sig, SIG_DFL);
        ::close(report[0]);
        for (const int fd : handed)
            ::fcntl(fd, F_SETFD, 0);
        environ = env;
        ::execvp(argv[0], argv);
        const int failed = errno;
        [[maybe_unused]] const ssize_t n = ::write(report[1], &failed, sizeof failed);
        ::_exit(127);
    }
    error = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return -1;
    }
    int failed = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got != static_cast<ssize_t>(sizeof failed)) return pid;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    error = failed;
    return -1;
}

// The program's exit status, or 128 + N when signal N ended it.
int wait_for(pid_t pid, const char *name) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::fprintf(stderr, "boardsim: lost %s: %s\n", name, std::strerror(errno));
            return 127;
        }
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// The files the options name, inputs first, and where the outputs begin. The program and the preload
// library are inputs too: no run writes over them.
std::vector<boardsim::run::named_file> named_files(const options &opt, const std::string &preload,
                                                   std::size_t &first_output) {
    std::vector<boardsim::run::named_file> files;
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
    return files;
}

} // namespace

int main(int argc, char **argv) {
    options opt;
    if (const int status = parse_options(argc, argv, opt); status >= 0) return status;

    std::string preload = opt.preload.empty() ? default_preload() : opt.preload;
    std::size_t first_output = 0;
    if (const std::string clash =
            boardsim::run::same_file(named_files(opt, preload, first_output), first_output);
        !clash.empty()) {
        std::fprintf(stderr, "boardsim: %s\n", clash.c_str());
        return status_bad_use;
    }

    // A scenario or recording is read once, here, and refused before the program runs when it is bad,
    // with the place and what was expected. The program side gets what was read.
    using checker = std::string (*)(std::string_view, std::string_view);
    constexpr checker check_scenario = [](std::string_view text, std::string_view name) {
        boardsim::detail::scenario s;
        return boardsim::detail::parse_scenario(text, name, s);
    };
    constexpr checker check_recording = [](std::string_view text, std::string_view name) {
        std::vector<boardsim::detail::board_event> events;
        return boardsim::detail::parse_recording(text, name, events);
    };
    struct input {
        const std::string &path;
        checker check;
        const char *setting;
        std::string text;
    };
    std::array<input, 2> inputs{{{opt.scenario, check_scenario, "BOARDSIM_SCENARIO_FD=", {}},
                                 {opt.replay, check_recording, "BOARDSIM_REPLAY_FD=", {}}}};
    for (input &in : inputs) {
        if (in.path.empty()) continue;
        if (!boardsim::detail::read_whole_file(in.path.c_str(), in.text)) {
            std::fprintf(stderr, "%s: cannot be read: %s\n", in.path.c_str(), std::strerror(errno));
            return status_bad_use;
        }
        const std::string error = in.check(in.text, in.path);
        if (!error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return status_bad_use;
        }
    }
    if (opt.check) return 0;

    if (::access(preload.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "boardsim: %s: cannot be read: %s\n", preload.c_str(), std::strerror(errno));
        return status_bad_use;
    }
    // An emulator would report a missing program in its own words and status: say it as without one.
    if (!opt.emulator.empty() && ::access(opt.program.front().c_str(), X_OK) != 0) {
        std::fprintf(stderr, "boardsim: cannot run %s: %s\n", opt.program.front().c_str(),
                     std::strerror(errno));
        return 127;
    }

    keep_only_standard_streams();
    // What the program side gets, as BOARDSIM_<NAME>_FD=<descriptor>[:<the input's file>].
    std::vector<std::string> settings{"BOARDSIM_FAIL_OP=" + opt.fail_op,
                                      std::string{"BOARDSIM_TIMELINE="} + (opt.timeline ? "1" : "")};
    std::vector<int> handed;
    std::vector<int> input_fds;
    struct output {
        const std::string &path;
        const char *setting;
        boardsim::run::output_file file;
    };
    std::array<output, 3> outputs{{{opt.trace, "BOARDSIM_TRACE_FD=", {}},
                                   {opt.record, "BOARDSIM_RECORD_FD=", {}},
                                   {opt.vcd, "BOARDSIM_VCD_FD=", {}}}};
    for (output &out : outputs) {
        if (out.path.empty()) continue;
        if (const std::string error = out.file.open(out.path); !error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return status_bad_use;
        }
        handed.push_back(out.file.fd());
        settings.push_back(out.setting + std::to_string(out.file.fd()));
    }
    for (const input &in : inputs) {
        if (in.path.empty()) continue;
        std::string error;
        const int fd = boardsim::run::hand_over(in.text, error);
        if (fd < 0) {
            std::fprintf(stderr, "boardsim: %s\n", error.c_str());
            return status_bad_use;
        }
        handed.push_back(fd);
        input_fds.push_back(fd);
        settings.push_back(in.setting + std::to_string(fd) + ":" + in.path);
    }

    std::vector<std::string> args;
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry{*e};
        if (entry.starts_with("BOARDSIM_")) continue;
        if (opt.emulator.empty() && entry.starts_with("LD_PRELOAD=")) {
            preload += ' ';
            preload += entry.substr(11);
            continue;
        }
        env.emplace_back(entry);
    }
    if (opt.emulator.empty()) {
        env.push_back("LD_PRELOAD=" + preload);
        env.insert(env.end(), settings.begin(), settings.end());
    } else {
        // The emulator hands these to the emulated program alone; the emulator itself runs plain.
        args = split_words(opt.emulator);
        args.push_back("-E");
        args.push_back("LD_PRELOAD=" + preload);
        for (const std::string &s : settings) {
            args.push_back("-E");
            args.push_back(s);
        }
    }
    args.insert(args.end(), opt.program.begin(), opt.program.end());

    std::vector<char *> argv_c;
    for (std::string &a : args)
        argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    std::vector<char *> env_c;
    for (std::string &e : env)
        env_c.push_back(e.data());
    env_c.push_back(nullptr);

    struct sigaction forward {};
    forward.sa_handler = forward_signal;
    sigemptyset(&forward.sa_mask);
    for (const int sig : forwarded_signals)
        ::sigaction(sig, &forward, nullptr);

    int error = 0;
    const pid_t pid = start_program(argv_c.data(), env_c.data(), handed, error);
    if (pid < 0) {
        std::fprintf(stderr, "boardsim: cannot run %s: %s\n", argv_c[0], std::strerror(error));
        return 127;
    }
    child_pid = pid;
    for (const int fd : input_fds)
        ::close(fd);
    for (output &out : outputs)
        out.file.close_descriptor();

    int status = wait_for(pid, argv_c[0]);
    // However the program ended, what it left is the run's: each file takes its name now.
    for (output &out : outputs) {
        if (const std::string failed = out.file.commit(); !failed.empty()) {
            std::fprintf(stderr, "boardsim: %s\n", failed.c_str());
            if (status == 0) status = status_bad_use;
        }
    }
    return status;
}
