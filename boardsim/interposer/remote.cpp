// The runner's board, reached over this process's own channel: each board call is one request and
// one reply. A process comes onto the board by saying hello on the channel the runner handed the
// program (its own channel goes with the hello); a child that the program forked says hello anew,
// with the board descriptors it inherited; a program that an exec started finds its own descriptors in
// the runner's reply. When the runner is gone, nothing of the run goes on: the process ends itself.
#include "interposer/remote.h"

#include "channel/message.h"
#include "interposer/link.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <libc_baseline.h>
#include <linux/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

namespace boardsim::detail {

namespace {

using channel::ask;
using channel::reply;
using channel::request;

// A process's channel lies far above the program's own descriptors, so that the program sees the
// descriptor numbers it would see on the board.
constexpr int channel_floor = 200;
// The most of an ioctl's argument that is carried over: a request whose size says more is passed as a
// plain value.
constexpr std::size_t argument_max = 4096;
// How much of the command line a hello carries, for the trace.
constexpr std::size_t command_max = 200;

// The process's command line, as /proc has it, words joined by blanks.
std::string own_command() {
    std::string text;
    if (!read_whole_file("/proc/self/cmdline", text)) return "?";
    if (text.size() > command_max) text.resize(command_max);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

[[noreturn]] void runner_gone() {
    // The run is over without this process: a board that is no longer simulated must not be reached.
    ::signal(SIGKILL, SIG_DFL);
    ::raise(SIGKILL);
    // cppcheck-suppress unreachableCode ; the exit should the signal not end the process at once
    ::_exit(128 + SIGKILL);
}

class runner_link final : public board_link {
  public:
    explicit runner_link(int control) : control_(control) {}

    // Comes onto the board; false when the runner is not there.
    bool hello() {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return false;
        channel_ = ::fcntl(pair[0], F_DUPFD_CLOEXEC, channel_floor);
        real().close(pair[0]);
        request r{.what = ask::hello, .pid = ::getpid(), .parent = ::getppid(), .text = own_command()};
        for (std::size_t fd = 0; fd < files_.size(); ++fd)
            if (files_[fd].number != 0) r.fds.emplace_back(static_cast<std::int32_t>(fd), files_[fd].number);
        const bool sent = channel_ >= 0 && channel::send_message(control_, channel::encode(r), pair[1]);
        real().close(pair[1]);
        reply answer;
        if (!sent || !receive(answer)) return false;
        pid_ = ::getpid();
        // A program that an exec started: the descriptors it still holds, with their paths.
        std::string_view paths{answer.data};
        for (const auto &[fd, number] : answer.fds) {
            const std::string_view path = paths.substr(0, paths.find('\n'));
            paths.remove_prefix(std::min(paths.size(), path.size() + 1));
            if (fd >= 0 && ::fcntl(fd, F_GETFD) >= 0) remember(fd, number, std::string{path}.c_str());
        }
        return true;
    }

    // A child that never came onto the board has nothing to say.
    void bye() {
        if (::getpid() == pid_) exchange(request{.what = ask::bye}, false);
    }

    // A program that would run off the board: the runner fails the run.
    void off_the_board(const std::string &what) {
        follow_fork();
        exchange(request{.what = ask::off_the_board, .text = what}, false);
    }

    bool holds(int fd) override {
        return fd >= 0 && static_cast<std::size_t>(fd) < files_.size() && files_[fd].number != 0;
    }

    int open(const char *path, const board_path &where, int flags) override {
        follow_fork();
        const int fd = placeholder(flags);
        if (fd < 0) return -1;
        const reply answer = exchange(request{.what = ask::open, .fd = fd, .flags = flags, .text = path});
        if (answer.result < 0) {
            real().close(fd);
        } else {
            remember(fd, answer.file, path, &where);
        }
        return static_cast<int>(outcome(answer));
    }

    ssize_t read(int fd, void *buf, std::size_t count) override {
        follow_fork();
        const reply answer = exchange(request{
            .what = ask::read, .fd = fd, .count = std::min<std::uint64_t>(count, channel::transfer_max)});
        if (answer.result > 0 && buf != nullptr)
            std::memcpy(buf, answer.data.data(), std::min(answer.data.size(), count));
        return static_cast<ssize_t>(outcome(answer));
    }

    ssize_t write(int fd, const void *buf, std::size_t count) override {
        follow_fork();
        const std::size_t n = std::min(count, channel::transfer_max);
        request r{.what = ask::write, .fd = fd, .count = n, .pointer = buf != nullptr};
        if (buf != nullptr) r.data.assign(static_cast<const char *>(buf), n);
        return static_cast<ssize_t>(outcome(exchange(r)));
    }

    int ioctl(int fd, unsigned long number, void *arg) override {
        follow_fork();
        request r{.what = ask::ioctl, .fd = fd, .number = number};
        // The argument as its device takes it: the value itself, or the bytes it points at, which the
        // driver may change.
        const device *d = holds(fd) ? files_[fd].dev : nullptr;
        const request_info *known = d != nullptr ? find_request(*d, number) : nullptr;
        const std::size_t size = _IOC_SIZE(number);
        r.pointer = arg != nullptr && (known == nullptr || !known->by_value) &&
                    _IOC_DIR(number) != _IOC_NONE && size > 0 && size <= argument_max;
        if (r.pointer) {
            r.data.assign(static_cast<const char *>(arg), size);
        } else {
            r.value = reinterpret_cast<std::uintptr_t>(arg);
        }
        const reply answer = exchange(r);
        if (r.pointer && answer.data.size() == size) std::memcpy(arg, answer.data.data(), size);
        return static_cast<int>(outcome(answer));
    }

    int close(int fd) override {
        follow_fork();
        const reply answer = exchange(request{.what = ask::close, .fd = fd});
        files_[static_cast<std::size_t>(fd)] = {};
        real().close(fd);
        return static_cast<int>(outcome(answer));
    }

    void wait(std::uint64_t microseconds) override {
        follow_fork();
        exchange(request{.what = ask::wait, .microseconds = microseconds});
    }

    void copied(int from, int to) override {
        follow_fork();
        exchange(request{.what = ask::copy, .fd = to, .value = static_cast<std::uint64_t>(from)});
        const held copy = files_[static_cast<std::size_t>(from)];
        if (files_.size() <= static_cast<std::size_t>(to)) files_.resize(static_cast<std::size_t>(to) + 1);
        files_[static_cast<std::size_t>(to)] = copy;
    }

    void dropped(int fd) override {
        follow_fork();
        exchange(request{.what = ask::drop, .fd = fd});
        files_[static_cast<std::size_t>(fd)] = {};
    }

  private:
    struct held {
        std::uint32_t number = 0; // the board's open file; 0: not a board descriptor
        const device *dev = nullptr;
    };

    void remember(int fd, std::uint32_t number, const char *path, const board_path *where = nullptr) {
        if (files_.size() <= static_cast<std::size_t>(fd)) files_.resize(static_cast<std::size_t>(fd) + 1);
        const std::optional<board_path> found = where != nullptr ? std::optional{*where} : classify(path);
        files_[static_cast<std::size_t>(fd)] = {number, found ? found->dev : nullptr};
    }

    // A child that the program forked has a copy of its parent's channel, which is not its own: it
    // comes onto the board by itself, with the descriptors it inherited.
    bool follow_fork() {
        if (::getpid() == pid_) return true;
        if (channel_ >= 0) real().close(channel_);
        channel_ = -1;
        if (!hello()) runner_gone();
        return true;
    }

    bool receive(reply &answer) const {
        std::string bytes;
        return channel::receive_message(channel_, bytes) && channel::decode(bytes, answer);
    }

    // One request and its reply; the run's end, when it has come, is carried out here.
    reply exchange(const request &r, bool carry_out = true) {
        reply answer;
        if (!channel::send_message(channel_, channel::encode(r)) || !receive(answer)) runner_gone();
        if (carry_out && answer.end == channel::then::deliver) {
            ::raise(answer.end_value);
        } else if (carry_out && answer.end != channel::then::go_on) {
            end_process(static_cast<run_end::how>(answer.end), answer.end_value);
        }
        return answer;
    }

    static long outcome(const reply &answer) {
        if (answer.result < 0) errno = answer.error;
        return static_cast<long>(answer.result);
    }

    int control_;
    int channel_ = -1;
    int pid_ = 0;
    std::vector<held> files_; // by the program's descriptor
};

runner_link *the_link = nullptr;

} // namespace

bool join_runner(int control) {
    // Never destroyed: the program's last calls, its exit among them, still go to the board.
    auto *link = new runner_link{control};
    if (!link->hello()) return false;
    the_link = link;
    use_runner_link(link);
    return true;
}

void leave_runner() {
    if (the_link != nullptr) the_link->bye();
}

void report_off_the_board(const std::string &what) {
    if (the_link != nullptr) the_link->off_the_board(what);
}

bool on_runner_board() {
    return the_link != nullptr;
}

} // namespace boardsim::detail
