#include "channel/message.h"

#include "base/real.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace boardsim::channel {

namespace {

class writer {
  public:
    void u8(std::uint8_t v) { bytes_ += static_cast<char>(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void text(std::string_view t) {
        u32(static_cast<std::uint32_t>(t.size()));
        bytes_.append(t);
    }
    void fds(const std::vector<descriptor> &list) {
        u32(static_cast<std::uint32_t>(list.size()));
        for (const auto &[fd, file] : list) {
            u32(static_cast<std::uint32_t>(fd));
            u32(file);
        }
    }
    std::string take() { return std::move(bytes_); }

  private:
    std::string bytes_;
};

class reader {
  public:
    explicit reader(std::string_view bytes) : rest_(bytes) {}
    bool u8(std::uint8_t &v) {
        if (rest_.empty()) return false;
        v = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return true;
    }
    bool u32(std::uint32_t &v) {
        v = 0;
        for (int i = 0; i < 4; ++i) {
            std::uint8_t b = 0;
            if (!u8(b)) return false;
            v |= static_cast<std::uint32_t>(b) << (8 * i);
        }
        return true;
    }
    bool i32(std::int32_t &v) {
        std::uint32_t u = 0;
        if (!u32(u)) return false;
        v = static_cast<std::int32_t>(u);
        return true;
    }
    bool u64(std::uint64_t &v) {
        std::uint32_t low = 0;
        std::uint32_t high = 0;
        if (!u32(low) || !u32(high)) return false;
        v = static_cast<std::uint64_t>(high) << 32 | low;
        return true;
    }
    bool text(std::string &t) {
        std::uint32_t n = 0;
        if (!u32(n) || n > rest_.size()) return false;
        t.assign(rest_.substr(0, n));
        rest_.remove_prefix(n);
        return true;
    }
    bool fds(std::vector<descriptor> &list) {
        std::uint32_t n = 0;
        if (!u32(n) || n > rest_.size() / 8) return false;
        list.clear();
        for (std::uint32_t i = 0; i < n; ++i) {
            std::int32_t fd = 0;
            std::uint32_t file = 0;
            if (!i32(fd) || !u32(file)) return false;
            list.emplace_back(fd, file);
        }
        return true;
    }
    [[nodiscard]] bool done() const { return rest_.empty(); }

  private:
    std::string_view rest_;
};

} // namespace

std::string encode(const request &r) {
    writer w;
    w.u8(static_cast<std::uint8_t>(r.what));
    w.u32(static_cast<std::uint32_t>(r.pid));
    w.u32(static_cast<std::uint32_t>(r.parent));
    w.u32(static_cast<std::uint32_t>(r.fd));
    w.u32(static_cast<std::uint32_t>(r.flags));
    w.u64(r.count);
    w.u64(r.number);
    w.u64(r.value);
    w.u64(r.microseconds);
    w.u8(r.pointer ? 1 : 0);
    w.text(r.text);
    w.text(r.data);
    w.fds(r.fds);
    return w.take();
}

bool decode(std::string_view bytes, request &r) {
    reader in{bytes};
    std::uint8_t what = 0;
    std::uint8_t pointer = 0;
    const bool read = in.u8(what) && in.i32(r.pid) && in.i32(r.parent) && in.i32(r.fd) && in.i32(r.flags) &&
                      in.u64(r.count) && in.u64(r.number) && in.u64(r.value) && in.u64(r.microseconds) &&
                      in.u8(pointer) && in.text(r.text) && in.text(r.data) && in.fds(r.fds) && in.done();
    if (!read || what < static_cast<std::uint8_t>(ask::hello) || what > static_cast<std::uint8_t>(ask::drop))
        return false;
    r.what = static_cast<ask>(what);
    r.pointer = pointer != 0;
    return true;
}

std::string encode(const reply &r) {
    writer w;
    w.u64(static_cast<std::uint64_t>(r.result));
    w.u32(static_cast<std::uint32_t>(r.error));
    w.u32(r.file);
    w.u32(r.process);
    w.text(r.data);
    w.fds(r.fds);
    w.u8(static_cast<std::uint8_t>(r.end));
    w.u32(static_cast<std::uint32_t>(r.end_value));
    return w.take();
}

bool decode(std::string_view bytes, reply &r) {
    reader in{bytes};
    std::uint64_t result = 0;
    std::uint8_t end = 0;
    const bool read = in.u64(result) && in.i32(r.error) && in.u32(r.file) && in.u32(r.process) &&
                      in.text(r.data) && in.fds(r.fds) && in.u8(end) && in.i32(r.end_value) && in.done();
    if (!read || end > static_cast<std::uint8_t>(then::deliver)) return false;
    r.result = static_cast<std::int64_t>(result);
    r.end = static_cast<then>(end);
    return true;
}

bool send_message(int fd, const std::string &bytes, int passed_fd) {
    iovec part{.iov_base = const_cast<char *>(bytes.data()), .iov_len = bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passed_fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &passed_fd, sizeof(int));
    }
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::size_t>(n) == bytes.size();
        if (errno != EINTR) return false;
    }
}

bool receive_message(int fd, std::string &bytes, int *passed_fd) {
    bytes.resize(message_max);
    iovec part{.iov_base = bytes.data(), .iov_len = bytes.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (passed_fd != nullptr) *passed_fd = -1;
    for (;;) {
        const ssize_t n = ::recvmsg(fd, &message, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EPIPE;
            return false;
        }
        bytes.resize(static_cast<std::size_t>(n));
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            int passed = -1;
            std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
            if (passed_fd != nullptr) {
                *passed_fd = passed;
            } else {
                detail::real().close(passed);
            }
        }
        return (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0;
    }
}

} // namespace boardsim::channel
