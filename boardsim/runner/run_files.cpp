#include "runner/run_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <file_status.h>
#include <libc_baseline.h>
#include <optional>
#include <unistd.h>
#include <utility>

BOARD_LIBC_OLDEST(fcntl);

namespace boardsim::run {

namespace {

std::string error_text(const std::string &path, const char *what, int error) {
    std::string text = path;
    text.append(": ").append(what).append(": ").append(std::strerror(error));
    return text;
}

// The file a path names, following symbolic links as open() does, dangling ones too: its real path
// when it is there, the path a dangling link leads to when it is not, else the path itself.
std::string link_target(const std::string &path) {
    struct stat64 st {};
    if (board_stat(path.c_str(), &st) == 0) {
        char real[PATH_MAX];
        return S_ISREG(st.st_mode) && ::realpath(path.c_str(), real) != nullptr ? std::string{real} : path;
    }
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        char named[PATH_MAX];
        const ssize_t n = ::readlink(at.c_str(), named, sizeof named - 1);
        if (n <= 0) return at;
        std::string next{named, static_cast<std::size_t>(n)};
        if (next.front() != '/') {
            const std::size_t slash = at.rfind('/');
            if (slash != std::string::npos) next.insert(0, at, 0, slash + 1);
        }
        at = next;
    }
    return at;
}

// What makes a file the one it is: its device and inode, or, for one that is not there yet, its
// folder's and its name.
struct identity {
    dev_t dev = 0;
    ino64_t ino = 0;
    std::string name; // empty for a file that exists
    bool character_device = false;
    bool operator==(const identity &o) const { return dev == o.dev && ino == o.ino && name == o.name; }
};

std::optional<identity> identify(const std::string &given) {
    const std::string path = link_target(given);
    struct stat64 st {};
    if (board_stat(path.c_str(), &st) == 0)
        return identity{
            .dev = st.st_dev, .ino = st.st_ino, .name = {}, .character_device = S_ISCHR(st.st_mode)};
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (board_stat(folder.c_str(), &st) != 0) return std::nullopt;
    return identity{.dev = st.st_dev, .ino = st.st_ino, .name = path.substr(slash + 1)};
}

// A write lock on the whole file, held while the descriptor is open; false when another holds one.
bool lock(int fd) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_SETLK, &whole) == 0;
}

// The temporaries that killed runs left beside the target: named for the target, and locked by no run.
void remove_left_behind(const std::string &folder, const std::string &prefix) {
    DIR *dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return;
    std::vector<std::string> names;
    // One folder, read by one thread (readdir_r is deprecated). The 64-bit entries: a 32-bit C
    // library's plain readdir ends the listing early (EOVERFLOW) at the first inode number above 2^32.
    // cppcheck-suppress readdirCalled
    while (const dirent64 *entry = ::readdir64(dir))
        if (std::string_view{entry->d_name}.starts_with(prefix)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    for (const std::string &name : names) {
        const std::string path = folder + name;
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (lock(fd)) ::unlink(path.c_str());
        ::close(fd);
    }
}

} // namespace

std::string same_file(const std::vector<named_file> &files, std::size_t first_output) {
    std::vector<std::optional<identity>> ids;
    ids.reserve(files.size());
    for (const named_file &f : files)
        ids.push_back(identify(f.path));
    for (std::size_t j = first_output; j < files.size(); ++j) {
        for (std::size_t i = 0; i < j; ++i) {
            if (!ids[i] || !ids[j] || !(*ids[i] == *ids[j]) || ids[j]->character_device) continue;
            std::string line = files[i].option;
            for (const std::string &piece : {std::string{" "}, files[i].path, std::string{" and "},
                                             files[j].option, std::string{" "}, files[j].path})
                line += piece;
            return line + " are the same file: give each its own";
        }
    }
    return "";
}

std::string read_input(const std::string &path, std::string &text) {
    text.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return error_text(path, "cannot be read", errno);
    std::size_t line = 1;
    std::string chunk(65536, '\0');
    std::string error;
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = error_text(path, "cannot be read", errno);
            break;
        }
        if (n == 0) break;
        const std::string_view got{chunk.data(), static_cast<std::size_t>(n)};
        if (const std::size_t nul = got.find('\0'); nul != std::string_view::npos) {
            for (const char c : got.substr(0, nul))
                line += c == '\n' ? 1 : 0;
            error = path + ":" + std::to_string(line) + ": expected text, got a NUL byte";
            break;
        }
        for (const char c : got)
            line += c == '\n' ? 1 : 0;
        if (text.size() + got.size() > input_max) {
            error = path + ": expected at most " + std::to_string(input_max / mebibyte) +
                    " MiB of scenario or recording, got more";
            break;
        }
        text.append(got);
    }
    ::close(fd);
    if (!error.empty()) text.clear();
    return error;
}

output_file::~output_file() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

std::string output_file::open(const std::string &path) {
    const std::string target = link_target(path);
    struct stat64 st {};
    const bool exists = board_stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return error_text(path, "cannot be written", errno);
        out_ = std::make_unique<detail::output>(fd, path);
        return "";
    }
    // The runner's own standard output or error, when it is a file: written through the runner's
    // descriptor, at its offset, beside what the program writes there.
    for (const int stream : {1, 2}) {
        struct stat64 own {};
        if (exists && board_fstat(stream, &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) {
            const int fd = ::fcntl(stream, F_DUPFD_CLOEXEC, 3);
            if (fd < 0) return error_text(path, "cannot be written", errno);
            out_ = std::make_unique<detail::output>(fd, path);
            return "";
        }
    }

    // A file the user may not write is not replaced either.
    if (exists && ::access(target.c_str(), W_OK) != 0) return error_text(path, "cannot be written", errno);
    target_ = target;
    const std::size_t name_at = target_.rfind('/') + 1; // 0 without a folder
    const std::string folder = target_.substr(0, name_at);
    std::string prefix = ".";
    prefix.append(target_, name_at).append(".boardsim-");
    remove_left_behind(folder, prefix);
    std::string temp = folder + prefix + std::to_string(::getpid()) + "-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return error_text(path, "cannot be written", errno);
    temp_ = temp;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    lock(fd);
    out_ = std::make_unique<detail::output>(fd, path);
    // The file keeps its permissions; a new one gets what creating it would have given it.
    mode_t mode = 0;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd, mode) != 0) return error_text(path, "cannot be written", errno);
    return "";
}

void output_file::discard() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    out_.reset();
}

bool output_file::commit() {
    if (out_ == nullptr) return true;
    const bool whole = !out_->failed();
    if (!temp_.empty()) {
        // Renamed while still open and locked, so that no other run takes it for one left behind.
        if (!whole) {
            ::unlink(temp_.c_str());
        } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            const int error = errno;
            std::fprintf(stderr, "boardsim: %s (the run's file is %s)\n",
                         error_text(target_, "cannot be put in place", error).c_str(), temp_.c_str());
            temp_.clear();
            out_.reset();
            return false;
        }
        temp_.clear();
    }
    out_.reset();
    return whole;
}

} // namespace boardsim::run
