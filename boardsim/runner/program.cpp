#include "runner/program.h"

#include "base/elf.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <file_status.h>
#include <unistd.h>

namespace boardsim::run {

namespace {

using detail::executable;

constexpr int status_bad_use = 2;
constexpr int status_cannot_run = 126;
constexpr int status_not_found = 127;
constexpr std::string_view marker = "boardsim_preload_marker";

// The file the shell would run for `name`: itself when it names a folder, else the first executable
// one on the PATH; "" (errno set) when there is none.
std::string find_program(const std::string &name) {
    if (name.find('/') != std::string::npos) return name;
    const char *path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    int error = ENOENT;
    for (std::size_t at = 0; at <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', at), folders.size());
        std::string candidate = (end == at ? "." : folders.substr(at, end - at)) + "/" + name;
        struct stat64 st {};
        if (board_stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            error = EACCES;
        }
        at = end + 1;
    }
    errno = error;
    return "";
}

program_check refused(int status, std::string message) {
    return {.status = status, .message = "boardsim: " + std::move(message), .path = {}};
}

std::string a_or_an(const std::string &word) {
    return (std::string_view{"aeiouAEIOU"}.find(word.front()) != std::string_view::npos ? "an " : "a ") +
           word;
}

} // namespace

program_check find_on_path(const std::string &name) {
    const std::string path = find_program(name);
    if (path.empty())
        return refused(errno == ENOENT ? status_not_found : status_cannot_run,
                       "cannot run " + name + ": " + std::strerror(errno));
    return {.status = 0, .message = {}, .path = path};
}

program_check check_program(const std::string &program, const std::string &preload, bool emulated) {
    const std::string path = find_program(program);
    if (path.empty()) return refused(status_not_found, "cannot run " + program + ": " + std::strerror(errno));
    struct stat64 st {};
    if (board_stat(path.c_str(), &st) != 0)
        return refused(errno == ENOENT ? status_not_found : status_cannot_run,
                       "cannot run " + program + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return refused(status_cannot_run, "cannot run " + program + ": " + std::strerror(EISDIR));
    if (::access(path.c_str(), X_OK) != 0)
        return refused(status_cannot_run, "cannot run " + program + ": " + std::strerror(errno));
    std::optional<executable> file = detail::read_executable(path.c_str());
    if (!file) return refused(status_cannot_run, "cannot run " + program + ": " + std::strerror(errno));
    // A script runs its interpreter: that is the program the library must reach.
    std::string runs = program;
    if (file->script) {
        runs = file->interpreter;
        file = file->interpreter.empty() ? std::nullopt : detail::read_executable(file->interpreter.c_str());
        if (!file || file->script)
            return refused(status_cannot_run, "cannot run " + program + ": its interpreter " + runs + ": " +
                                                  std::strerror(file ? ENOEXEC : errno));
    }
    // Never handed to /bin/sh, as execvp would: a file that is not a program is not one.
    if (!file->elf)
        return refused(status_cannot_run, "cannot run " + program + ": " + std::strerror(ENOEXEC));

    const std::optional<executable> library = detail::read_executable(preload.c_str());
    if (!library || !library->elf || !detail::exports_symbol(preload.c_str(), marker))
        return refused(status_bad_use, preload + " is not the simulated board's preload library (" +
                                           (library ? "it does not export " + std::string{marker}
                                                    : std::string{std::strerror(errno)}) +
                                           "): give --preload the libboardsim.so of a build of the tools");
    if (!file->dynamic)
        return refused(status_bad_use,
                       runs + " is linked statically: the simulated board reaches only a program "
                              "linked dynamically; build it so");
    const std::optional<executable> self = detail::read_executable("/proc/self/exe");
    if (library->elf_class != file->elf_class || library->machine != file->machine)
        return refused(status_bad_use, runs + " is " + a_or_an(detail::machine_name(*file)) +
                                           " program and " + preload + " " +
                                           a_or_an(detail::machine_name(*library)) +
                                           " library: give --preload the libboardsim.so built for " +
                                           detail::machine_name(*file));
    if (!emulated && self && (self->elf_class != file->elf_class || self->machine != file->machine))
        return refused(status_bad_use,
                       runs + " is " + a_or_an(detail::machine_name(*file)) + " program and this runner " +
                           a_or_an(detail::machine_name(*self)) +
                           " one: give --emulator (e.g. \"qemu-arm -L /usr/arm-linux-gnueabihf\") "
                           "and --preload with the libboardsim.so built for " +
                           detail::machine_name(*file));
    return {.status = 0, .message = {}, .path = path};
}

} // namespace boardsim::run
