// The programs that a process of the run starts: each must run on the board too. A program whose
// environment no longer carries the preload library or the runner's channel, or that the library
// cannot reach (statically linked), would run against the machine's real files while its user believes
// it simulated: it is not started, and the runner fails the run.
#include "base/elf.h"
#include "base/real.h"
#include "interposer/remote.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <spawn.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using boardsim::detail::executable;

template <typename F> F next(const char *name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// The value of NAME in the environment given, or nullptr.
const char *lookup(char *const *env, std::string_view name) {
    for (; env != nullptr && *env != nullptr; ++env) {
        const std::string_view entry{*env};
        if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=')
            return *env + name.size() + 1;
    }
    return nullptr;
}

// The file execvp would run for `file`: itself when it names a folder, else the first executable one
// on the PATH.
std::string search_path(const char *file) {
    if (std::strchr(file, '/') != nullptr) return file;
    const char *path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', at), folders.size());
        const std::string folder = end == at ? "." : folders.substr(at, end - at);
        std::string candidate = folder + "/" + file;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return file;
}

// Why the program would run off the board, or "".
std::string off_the_board(const std::string &file, char *const *env) {
    const char *preload = std::getenv("BOARDSIM_PRELOAD");
    const char *given = lookup(env, "LD_PRELOAD");
    if (preload != nullptr &&
        (given == nullptr || std::string_view{given}.find(preload) == std::string_view::npos))
        return "its environment has no LD_PRELOAD with the simulated board's library";
    if (lookup(env, "BOARDSIM_CONTROL_FD") == nullptr)
        return "its environment does not name the simulated board (BOARDSIM_CONTROL_FD)";
    std::optional<executable> e = boardsim::detail::read_executable(file.c_str());
    if (e && e->script && !e->interpreter.empty())
        e = boardsim::detail::read_executable(e->interpreter.c_str());
    if (e && e->elf && !e->dynamic) return "it is statically linked, so the simulated board cannot reach it";
    return "";
}

// False, with the run failed and errno set, when the program may not start.
bool may_start(const std::string &file, char *const *env) {
    if (!boardsim::detail::on_runner_board()) return true;
    const std::string why = off_the_board(file, env);
    if (why.empty()) return true;
    boardsim::detail::report_off_the_board(file + " would run off the simulated board: " + why);
    errno = EACCES;
    return false;
}

std::vector<char *> list_arguments(const char *first, va_list args) {
    std::vector<char *> argv{const_cast<char *>(first)};
    while (argv.back() != nullptr)
        argv.push_back(va_arg(args, char *));
    return argv;
}

} // namespace

extern "C" {

int execve(const char *path, char *const argv[], char *const envp[]) {
    if (!may_start(path, envp)) return -1;
    return next<int (*)(const char *, char *const[], char *const[])>("execve")(path, argv, envp);
}

int execv(const char *path, char *const argv[]) {
    return execve(path, argv, environ);
}

int execvpe(const char *file, char *const argv[], char *const envp[]) {
    if (!may_start(search_path(file), envp)) return -1;
    return next<int (*)(const char *, char *const[], char *const[])>("execvpe")(file, argv, envp);
}

int execvp(const char *file, char *const argv[]) {
    if (!may_start(search_path(file), environ)) return -1;
    return next<int (*)(const char *, char *const[])>("execvp")(file, argv);
}

int execl(const char *path, const char *arg, ...) {
    va_list args;
    va_start(args, arg);
    const std::vector<char *> argv = list_arguments(arg, args);
    va_end(args);
    return execve(path, argv.data(), environ);
}

int execlp(const char *file, const char *arg, ...) {
    va_list args;
    va_start(args, arg);
    const std::vector<char *> argv = list_arguments(arg, args);
    va_end(args);
    return execvp(file, argv.data());
}

int execle(const char *path, const char *arg, ...) {
    va_list args;
    va_start(args, arg);
    const std::vector<char *> argv = list_arguments(arg, args);
    char *const *envp = va_arg(args, char *const *);
    va_end(args);
    return execve(path, argv.data(), envp);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    if (!may_start(path, envp)) return errno;
    return next<int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                        char *const[], char *const[])>("posix_spawn")(pid, path, actions, attr, argv, envp);
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr, char *const argv[], char *const envp[]) {
    if (!may_start(search_path(file), envp)) return errno;
    return next<int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                        char *const[], char *const[])>("posix_spawnp")(pid, file, actions, attr, argv, envp);
}

} // extern "C"
