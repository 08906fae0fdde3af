#include "runner/run_files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <file_status.h>
#include <libc_baseline.h>
#include <optional>
#include <unistd.h>
#include <utility>

BOARD_LIBC_OLDEST(fcntl);

namespace boardsim::run {

namespace {

// What makes a file the one it is: its device and inode, or, for one that is not there yet, its
// folder's and its name.
struct identity {
    dev_t dev = 0;
    ino64_t ino = 0;
    std::string name; // empty for a file that exists
    bool character_device = false;
    bool operator==(const identity &o) const { return dev == o.dev && ino == o.ino && name == o.name; }
};

std::optional<identity> identify(const std::string &path) {
    struct stat64 st {};
    if (board_stat(path.c_str(), &st) == 0)
        return identity{
            .dev = st.st_dev, .ino = st.st_ino, .name = {}, .character_device = S_ISCHR(st.st_mode)};
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (board_stat(folder.c_str(), &st) != 0) return std::nullopt;
    return identity{.dev = st.st_dev, .ino = st.st_ino, .name = path.substr(slash + 1)};
}

std::string error_text(const std::string &path, const char *what, int error) {
    std::string text = path;
    text.append(": ").append(what).append(": ").append(std::strerror(error));
    return text;
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

output_file::output_file(output_file &&other) noexcept
    : target_(std::move(other.target_)), temp_(std::exchange(other.temp_, {})),
      fd_(std::exchange(other.fd_, -1)) {}

output_file::~output_file() {
    close_descriptor();
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void output_file::close_descriptor() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string output_file::open(const std::string &path) {
    struct stat64 st {};
    const bool exists = board_stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        return fd_ < 0 ? error_text(path, "cannot be written", errno) : "";
    }
    // The runner's own standard output or error, when it is a file: written through the runner's
    // descriptor, at its offset, beside what the program writes there.
    for (const int stream : {1, 2}) {
        struct stat64 own {};
        if (exists && board_fstat(stream, &own) == 0 && own.st_dev == st.st_dev && own.st_ino == st.st_ino) {
            fd_ = ::fcntl(stream, F_DUPFD_CLOEXEC, 3);
            return fd_ < 0 ? error_text(path, "cannot be written", errno) : "";
        }
    }

    // A file the user may not write is not replaced either.
    if (exists && ::access(path.c_str(), W_OK) != 0) return error_text(path, "cannot be written", errno);
    // A symbolic link stays one: its file is the one replaced.
    target_ = path;
    if (char real[PATH_MAX]; exists && ::realpath(path.c_str(), real) != nullptr) target_ = real;
    const std::size_t name_at = target_.rfind('/') + 1; // 0 without a folder
    std::string temp = target_.substr(0, name_at);
    temp.append(".").append(target_, name_at).append(".boardsim-XXXXXX");
    fd_ = ::mkstemp(temp.data());
    if (fd_ < 0) return error_text(path, "cannot be written", errno);
    temp_ = temp;
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    // The file keeps its permissions; a new one gets what creating it would have given it.
    mode_t mode = 0;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(fd_, mode) != 0) return error_text(path, "cannot be written", errno);
    return "";
}

std::string output_file::commit() {
    close_descriptor();
    if (temp_.empty()) return "";
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
        const int error = errno;
        std::string kept = std::exchange(temp_, {});
        return error_text(target_, "cannot be put in place", error)
                   .append(" (the run's file is ")
                   .append(kept) +
               ")";
    }
    temp_.clear();
    return "";
}

int hand_over(const std::string &text, std::string &error) {
    const char *dir = std::getenv("TMPDIR");
    std::string path = dir != nullptr && *dir == '/' ? dir : "/tmp";
    path += "/boardsim-input-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) {
        error = error_text(path, "cannot hold an input for the program", errno);
        return -1;
    }
    ::unlink(path.c_str());
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = error_text(path, "cannot hold an input for the program", n < 0 ? errno : ENOSPC);
            ::close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) {
        error = error_text(path, "cannot hold an input for the program", errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace boardsim::run
