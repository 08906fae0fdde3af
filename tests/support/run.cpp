#include "run.h"

#include "spawn_program.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {

std::vector<std::string> emulator() {
    std::vector<std::string> prefix;
    std::istringstream words{BOARD_TOOLS_EMULATOR};
    for (std::string word; words >> word;)
        prefix.push_back(word);
    return prefix;
}

namespace {

// An ELF file's machine (e_machine), or EM_NONE for any other file.
unsigned elf_machine(const char *path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return EM_NONE;
    Elf32_Ehdr header{}; // the machine field sits where it does in a 64-bit header
    const bool whole = ::read(fd, &header, sizeof header) == static_cast<ssize_t>(sizeof header);
    ::close(fd);
    return whole && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 ? header.e_machine : EM_NONE;
}

// Whether argv starts a program built for the machine this test was built for, as the emulator runs
// (the machine's own tools and scripts run as they are, wherever they lie).
bool is_built(const std::vector<std::string> &argv) {
    static const unsigned own = elf_machine("/proc/self/exe");
    return !argv.empty() && own != EM_NONE && elf_machine(argv.front().c_str()) == own;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The process groups of the programs running now, for the handler of a fatal signal, which may only
// read what cannot change half-way under it.
std::array<std::atomic<pid_t>, 64> live_groups{};
static_assert(std::atomic<pid_t>::is_always_lock_free);

void add_group(pid_t group) {
    for (std::atomic<pid_t> &slot : live_groups) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, group)) return;
    }
}

void remove_group(pid_t group) {
    for (std::atomic<pid_t> &slot : live_groups) {
        pid_t expected = group;
        slot.compare_exchange_strong(expected, 0);
    }
}

// The signals that end a test process and that it can catch: each ends the programs' groups first,
// then the test as it would have ended it. The programs start with these at their default action.
constexpr std::array fatal_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT};

void end_groups_and_die(int sig) {
    for (const std::atomic<pid_t> &slot : live_groups) {
        const pid_t group = slot.load();
        if (group > 0) ::kill(-group, SIGKILL);
    }
    // The handler was reset on entry (SA_RESETHAND); the signal ends the test once the handler returns.
    ::raise(sig);
}

// Once: a signal that the test process neither ignores nor handles itself (a sanitizer may) is watched.
void watch_fatal_signals() {
    static const bool done = [] {
        for (const int sig : fatal_signals) {
            struct sigaction old {};
            if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction sa {};
            sa.sa_handler = end_groups_and_die;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESETHAND;
            ::sigaction(sig, &sa, nullptr);
        }
        return true;
    }();
    (void)done;
}

} // namespace

process::process(const std::vector<std::string> &argv, const process_streams &fds,
                 const std::vector<std::string> &env) {
    if (argv.empty()) throw std::invalid_argument("no program to start");
    watch_fatal_signals();
    std::vector<const char *> argv_c;
    for (const std::string &a : argv)
        argv_c.push_back(a.c_str());
    argv_c.push_back(nullptr);
    std::vector<const char *> env_c;
    for (const std::string &e : env)
        env_c.push_back(e.c_str());
    env_c.push_back(nullptr);

    const spawn_settings settings{.argv = argv_c.data(),
                                  .envp = env.empty() ? nullptr : env_c.data(),
                                  .streams = {fds.in, fds.out, fds.err},
                                  .own_group = true,
                                  .parent_death_signal = SIGKILL};
    int error = 0;
    const pid_t pid = spawn_program(settings, error);
    if (pid < 0) throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(error));
    // The fatal-signal handler ends the whole group from here on; until here, the parent-death signal
    // ends the program itself.
    add_group(pid);
    pid_ = pid;
}

process::~process() {
    if (pid_ > 0) {
        kill_group();
        wait();
    }
}

void process::kill_group() const {
    if (pid_ > 0) ::kill(-pid_, SIGKILL);
}

int process::wait() {
    if (pid_ <= 0) return -1;
    // The program's end, without reaping it yet: until then its process number, and so its group's,
    // cannot go to another process, and what is left of the group is ended safely.
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    remove_group(pid_);
    pid_ = -1;
    return status;
}

std::vector<std::string> with_emulator(const std::vector<std::string> &argv,
                                       const std::vector<std::string> &loader_env) {
    std::vector<std::string> args = emulator();
    if (args.empty() || !is_built(argv)) return argv;
    // The loader's variables are meant for the program's loader, not the emulator's: an ARM
    // preload would make the host loader complain on the program's standard error.
    for (const std::string &entry : loader_env)
        args.insert(args.end(), {"-E", entry});
    args.push_back(argv.front());
    // The simulated board's runner starts the program itself, so it needs the emulator as well.
    const auto own_end = std::find(argv.begin(), argv.end(), "--");
    if (argv.front() == bin_path("boardsim") && std::find(argv.begin(), own_end, "--emulator") == own_end)
        args.insert(args.end(), {"--emulator", BOARD_TOOLS_EMULATOR});
    args.insert(args.end(), argv.begin() + 1, argv.end());
    return args;
}

std::string bin_path(const std::string &name) {
    return std::string{BOARD_TOOLS_BIN_DIR} + "/" + name;
}
std::string helper_path(const std::string &name) {
    return std::string{BOARD_TOOLS_TEST_DIR} + "/" + name;
}

std::string lib_path(const std::string &name) {
    return std::string{BOARD_TOOLS_LIB_DIR} + "/" + name;
}

namespace {

// The program's standard output and error read to their ends, or to the time limit, when its whole
// group is killed.
void collect_output(process &child, int out, int err, int timeout_seconds, run_result &result) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    const double deadline = now_seconds() + timeout_seconds;
    int open_streams = 2;
    bool killed = false;
    while (open_streams > 0) {
        const int wait_ms = static_cast<int>((deadline - now_seconds()) * 1000);
        if (wait_ms <= 0 && !killed) {
            // The whole group: what the program started in turn would keep the streams open.
            child.kill_group();
            killed = true;
        }
        if (poll(fds, 2, killed ? 1000 : wait_ms) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[65536];
            const ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    for (const pollfd &p : fds)
        if (p.fd >= 0) close(p.fd);
}

} // namespace

run_result run_program(const std::vector<std::string> &argv_in, const run_options &options) {
    const bool emulated = !emulator().empty() && is_built(argv_in);
    std::vector<std::string> env;
    std::vector<std::string> loader_env;
    for (char **e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    for (const std::string &extra : options.env) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        if (emulated && name.rfind("LD_", 0) == 0) {
            loader_env.push_back(extra);
            continue;
        }
        std::erase_if(env, [&](const std::string &entry) { return entry.rfind(name, 0) == 0; });
        env.push_back(extra);
    }
    const std::vector<std::string> args = with_emulator(argv_in, loader_env);

    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    process child{args, {in_pipe[0], out_pipe[1], err_pipe[1]}, env};
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    // Feed standard input in one go; programs here read little or nothing.
    signal(SIGPIPE, SIG_IGN);
    if (!options.stdin_text.empty()) [[maybe_unused]]
        auto n = write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
    close(in_pipe[1]);

    run_result result;
    collect_output(child, out_pipe[0], err_pipe[0], options.timeout_seconds, result);
    const int status = child.wait();
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

board_run run_on_board(const std::vector<std::string> &argv, const std::string &scenario,
                       const run_options &options) {
    const temp_dir dir;
    std::vector<std::string> args{bin_path("boardsim"), "--trace", dir.file("trace")};
    if (!scenario.empty()) {
        write_file(dir.file("board.scn"), scenario);
        args.insert(args.end(), {"--scenario", dir.file("board.scn")});
    }
    args.push_back("--");
    args.insert(args.end(), argv.begin(), argv.end());
    board_run run;
    run.result = run_program(args, options);
    run.trace = split_lines(read_file(dir.file("trace")));
    return run;
}

std::string read_line(int fd, int timeout_ms) {
    std::string line;
    pollfd ready{fd, POLLIN, 0};
    char c = 0;
    while (::poll(&ready, 1, timeout_ms) > 0 && ::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "boardtools.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream file{path, std::ios::binary};
    file << text;
}

std::string read_file(const std::string &path) {
    std::ifstream file{path, std::ios::binary};
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream stream{text};
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

} // namespace testsupport
