// The model backend: the board's files served by their devices, with the kernel's own checks first.
#include "model.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>

namespace boardsim::detail {

ssize_t fail_with(int error) {
    errno = error;
    return -1;
}

std::optional<int> whole_number(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 6) return std::nullopt;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size() || value < 0) return std::nullopt;
    return value;
}

std::optional<long long> attribute_number(std::string_view text) {
    long long value = 0;
    const char *first = text.data();
    if (!text.empty() && text[0] == '+') ++first;
    const auto [ptr, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

ssize_t read_attribute(open_file &f, const std::string &content, void *buf, std::size_t count) {
    const std::size_t n = f.offset < content.size() ? std::min(count, content.size() - f.offset) : 0;
    std::memcpy(buf, content.data() + f.offset, n);
    f.offset += n;
    return static_cast<ssize_t>(n);
}

namespace {

class model final : public backend {
  public:
    int open(board &b, board_event &e, const board_path &where) override {
        const int error = where.kind == file_kind::missing ? ENOENT : where.dev->open(b, where, e.flags);
        if (error != 0) return static_cast<int>(fail_with(error));
        return open_descriptor(b, e.path.c_str(), where, e.flags);
    }

    ssize_t read(board &b, board_event &e, open_file &f, int /*fd*/, void *buf) override {
        if ((f.flags & O_ACCMODE) == O_WRONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        return f.where.dev->read(b, f, buf, e.count);
    }

    ssize_t write(board &b, board_event &e, open_file &f, int /*fd*/, const void *buf) override {
        if ((f.flags & O_ACCMODE) == O_RDONLY) return fail_with(EBADF);
        if (buf == nullptr && e.count > 0) return fail_with(EFAULT);
        return f.where.dev->write(b, f, e, buf, e.count);
    }

    int ioctl(board &b, board_event &e, open_file &f, int /*fd*/, void *arg) override {
        return f.where.dev->ioctl(b, f, e, e.request, arg);
    }

    int close(board &b, board_event & /*e*/, open_file &f, int /*released*/) override {
        f.where.dev->close(b, f);
        return 0;
    }
};

} // namespace

std::unique_ptr<backend> model_backend() {
    return std::make_unique<model>();
}

} // namespace boardsim::detail
