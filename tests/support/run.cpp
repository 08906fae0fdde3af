#include "run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {

namespace {

std::vector<std::string> emulator_prefix() {
    std::vector<std::string> prefix;
    std::istringstream words{BOARD_TOOLS_EMULATOR};
    for (std::string word; words >> word;) prefix.push_back(word);
    return prefix;
}

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

} // namespace

std::vector<std::string> with_emulator(const std::vector<std::string> &argv,
                                       const std::vector<std::string> &loader_env) {
    std::vector<std::string> args = emulator_prefix();
    if (args.empty() || argv.empty()) return argv;
    // The loader's variables are meant for the program's loader, not the emulator's: an ARM
    // preload would make the host loader complain on the program's standard error.
    for (const std::string &entry : loader_env) args.insert(args.end(), {"-E", entry});
    args.push_back(argv.front());
    // The simulated board's runner starts the program itself, so it needs the emulator as well.
    const auto own_end = std::find(argv.begin(), argv.end(), "--");
    if (argv.front() == bin_path("boardsim") && std::find(argv.begin(), own_end, "--emulator") == own_end)
        args.insert(args.end(), {"--emulator", BOARD_TOOLS_EMULATOR});
    args.insert(args.end(), argv.begin() + 1, argv.end());
    return args;
}

std::string bin_path(const std::string &name) { return std::string{BOARD_TOOLS_BIN_DIR} + "/" + name; }
std::string lib_path(const std::string &name) { return std::string{BOARD_TOOLS_LIB_DIR} + "/" + name; }

run_result run_program(const std::vector<std::string> &argv_in, const run_options &options) {
    const bool emulated = !emulator_prefix().empty();
    std::vector<std::string> env;
    std::vector<std::string> loader_env;
    for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const std::string &extra : options.env) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        if (emulated && name.rfind("LD_", 0) == 0) {
            loader_env.push_back(extra);
            continue;
        }
        std::erase_if(env, [&](const std::string &entry) { return entry.rfind(name, 0) == 0; });
        env.push_back(extra);
    }
    std::vector<std::string> args = with_emulator(argv_in, loader_env);

    std::vector<char *> argv_c;
    for (std::string &a : args) argv_c.push_back(a.data());
    argv_c.push_back(nullptr);
    std::vector<char *> env_c;
    for (std::string &e : env) env_c.push_back(e.data());
    env_c.push_back(nullptr);

    int in_pipe[2];
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv_c[0], &actions, nullptr, argv_c.data(), env_c.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));

    // Feed standard input in one go; programs here read little or nothing.
    signal(SIGPIPE, SIG_IGN);
    if (!options.stdin_text.empty())
        [[maybe_unused]] auto n = write(in_pipe[1], options.stdin_text.data(), options.stdin_text.size());
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
            kill(pid, SIGKILL);
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

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
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
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

} // namespace testsupport
