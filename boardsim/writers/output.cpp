#include "writers/output.h"

#include "base/real.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace boardsim::detail {

output::~output() {
    if (fd_ >= 0) real().close(fd_);
}

bool output::fail(int error) {
    if (error_ == 0) {
        error_ = error;
        const std::string line = "boardsim: " + name_ + ": cannot be written: " + std::strerror(error) + "\n";
        [[maybe_unused]] const ssize_t n = real().write(2, line.data(), line.size());
    }
    return false;
}

bool output::write(std::string_view bytes) {
    if (failed()) return false;
    while (!bytes.empty()) {
        const ssize_t n = real().write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool output::write_at(std::string_view bytes, off_t offset) {
    if (failed()) return false;
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(fd_, bytes.data(), bytes.size(), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : ENOSPC);
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return true;
}

bool output::read_at(std::string &bytes, off_t offset) {
    if (failed()) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(fd_, bytes.data() + done, bytes.size() - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(n < 0 ? errno : EIO);
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace boardsim::detail
