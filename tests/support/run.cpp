#include "run.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::vector<std::string> emulator_prefix() {
    std::vector<std::string> prefix;
    std::istringstream words{BOARD_TOOLS_EMULATOR};
    for (std::string word; words >> word;)
        prefix.push_back(word);
    return prefix;
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
// then the test as it would have ended it.
constexpr std::array fatal_signals{SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGABRT};
std::array<bool, fatal_signals.size()> watched{};

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
        for (std::size_t i = 0; i < fatal_signals.size(); ++i) {
            struct sigaction old {};
            if (::sigaction(fatal_signals[i], nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction sa {};
            sa.sa_handler = end_groups_and_die;
            sigemptyset(&sa.sa_mask);
            sa.sa_flags = SA_RESETHAND;
            watched[i] = ::sigaction(fatal_signals[i], &sa, nullptr) == 0;
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
    std::vector<std::string> args = argv;
    std::vector<char *> argv_c;
    for (std::string &a : args)
        argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    std::vector<std::string> entries = env;
    std::vector<char *> env_c;
    for (std::string &e : entries)
        env_c.push_back(e.data());
    env_c.push_back(nullptr);
    char **const envp = env.empty() ? environ : env_c.data();

    // The exec's error comes back through this pipe, which a successful exec closes.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string{"pipe: "} + std::strerror(errno));
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        throw std::runtime_error("cannot start " + argv.front() + ": fork: " + std::strerror(error));
    }
    if (pid == 0) {
        // Only what is safe between fork and exec from here on.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127); // the test died before the line above
        for (std::size_t i = 0; i < fatal_signals.size(); ++i)
            if (watched[i]) ::signal(fatal_signals[i], SIG_DFL);
        const std::array wanted{fds.in, fds.out, fds.err};
        int failed = 0;
        for (int target = 0; target < 3 && failed == 0; ++target) {
            const int fd = wanted[static_cast<std::size_t>(target)];
            if (fd < 0) continue;
            if ((fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target)) < 0) failed = errno;
        }
        if (failed == 0) {
            ::execve(argv_c[0], argv_c.data(), envp);
            failed = errno;
        }
        [[maybe_unused]] const ssize_t n = ::write(report[1], &failed, sizeof failed);
        ::_exit(127);
    }
    // Here as well as in the child, so that the group exists whichever of the two runs first.
    ::setpgid(pid, pid);
    add_group(pid);
    pid_ = pid;
    ::close(report[1]);
    int failed = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof failed)) {
        wait();
        throw std::runtime_error("cannot start " + argv.front() + ": " + std::strerror(failed));
    }
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
    std::vector<std::string> args = emulator_prefix();
    if (args.empty() || argv.empty()) return argv;
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
std::string lib_path(const std::string &name) {
    return std::string{BOARD_TOOLS_LIB_DIR} + "/" + name;
}

run_result run_program(const std::vector<std::string> &argv_in, const run_options &options) {
    const bool emulated = !emulator_prefix().empty();
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
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    const double deadline = now_seconds() + options.timeout_seconds;
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

    const int status = child.wait();
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
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
