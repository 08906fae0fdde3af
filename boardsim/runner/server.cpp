// The run's processes on the runner's board. Each process of the run says hello on the control
// channel with its own channel; the runner then answers its requests there, one at a time, in the
// order they come. A process that a fork made brings the board descriptors it inherited; one that an
// exec started keeps those without close-on-exec. A process's end is its goodbye, or, for one that
// says none, the end of its channel once it is gone. Where the board holds the run to an order (a
// replay), a request whose process's turn has not come waits until it has.
#include "runner/server.h"

#include "channel/message.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libc_baseline.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

BOARD_LIBC_OLDEST(fcntl);

namespace boardsim::run {

namespace {

using channel::ask;
using channel::reply;
using channel::request;
using detail::board;
using detail::process;
using detail::run_end;

// While a process is between programs (its channel closed by an exec, or by its end), the runner
// looks after it this often.
constexpr int look_after_ms = 100;
// A request held for its turn goes as it is, and departs, once no request has been answered for this
// long: the process whose turn it is has not come, and may never.
constexpr std::uint64_t hold_limit_ms = 30000;

struct client {
    int channel = -1;
    int pid = 0;
    process *on_board = nullptr;
    bool said_bye = false;
    bool between = false;        // its channel closed while it lived: an exec, or its end
    std::optional<request> held; // its request, waiting for its turn
};

std::uint64_t now_ms() {
    timespec now{};
    detail::real().clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec / 1000000);
}

// Whether the process still runs (a zombie does not).
bool alive(int pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return false;
    std::string stat;
    if (!detail::read_whole_file(("/proc/" + std::to_string(pid) + "/stat").c_str(), stat)) return true;
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

// Whether two command lines run the same program with the same arguments, wherever it lies (a board's
// recording names its programs by the board's paths).
bool same_program(std::string_view a, std::string_view b) {
    auto from_name = [](std::string_view command) {
        const std::size_t end = command.find(' ');
        const std::size_t slash = command.substr(0, end).rfind('/');
        return slash == std::string_view::npos ? command : command.substr(slash + 1);
    };
    return from_name(a) == from_name(b);
}

class server;
server *serving = nullptr; // for the board's real waits, while recording

class server {
  public:
    server(board &b, int control, int self_pipe, pid_t pid)
        : b_(b), control_(control), self_pipe_(self_pipe), pid_(pid) {
        serving = this;
        b_.sleep = [](std::uint64_t microseconds) { return serving->sleep(microseconds); };
    }
    ~server() {
        b_.sleep = nullptr;
        serving = nullptr;
    }
    server(const server &) = delete;
    server &operator=(const server &) = delete;

    // A real wait, for the process whose request it is: it ends early when that process is gone; a
    // signal for the program is passed on at once and written down, at the time it came, once the wait
    // is over.
    std::uint64_t sleep(std::uint64_t microseconds) {
        timespec start{};
        detail::real().clock_gettime(CLOCK_MONOTONIC, &start);
        auto elapsed = [&start] {
            timespec now{};
            detail::real().clock_gettime(CLOCK_MONOTONIC, &now);
            return static_cast<std::uint64_t>(now.tv_sec - start.tv_sec) * 1000000 +
                   static_cast<std::uint64_t>(now.tv_nsec / 1000) -
                   static_cast<std::uint64_t>(start.tv_nsec / 1000);
        };
        const std::uint64_t from = b_.clock_us;
        for (std::uint64_t passed = 0; passed < microseconds; passed = elapsed()) {
            const std::uint64_t left_ms = (microseconds - passed + 999) / 1000;
            pollfd fds[2] = {{self_pipe_, POLLIN, 0},
                             {asking_ != nullptr ? asking_->channel : -1, POLLIN, 0}};
            const int ready = ::poll(fds, 2, static_cast<int>(std::min<std::uint64_t>(left_ms, 1000000)));
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
            if (fds[0].revents != 0) {
                char signals[64];
                const ssize_t n = ::read(self_pipe_, signals, sizeof signals);
                for (ssize_t i = 0; i < n; ++i) {
                    const int sig = static_cast<unsigned char>(signals[i]);
                    if (sig != SIGCHLD) ::kill(pid_, sig);
                    caught_.emplace_back(sig, from + elapsed());
                }
            }
            if (fds[1].revents != 0) return elapsed(); // the process is gone: its wait ended with it
        }
        return microseconds;
    }

    run_result run() {
        while (!program_done_) {
            // A process whose request is held is watched for its end only.
            std::vector<pollfd> fds{{self_pipe_, POLLIN, 0}, {control_, POLLIN, 0}};
            for (const std::unique_ptr<client> &c : clients_)
                if (c->channel >= 0) fds.push_back({c->channel, static_cast<short>(c->held ? 0 : POLLIN), 0});
            const bool looking_after =
                std::any_of(clients_.begin(), clients_.end(), [](const auto &c) { return c->between; });
            const bool held = holding();
            if (::poll(fds.data(), fds.size(), looking_after || held ? look_after_ms : -1) < 0 &&
                errno != EINTR)
                break;
            // The processes' requests first: a goodbye comes before the end it announces.
            for (std::size_t i = 2; i < fds.size(); ++i)
                if (fds[i].revents != 0) serve_channel(fds[i].fd);
            if (fds[1].revents != 0) hello();
            if (fds[0].revents != 0) caught_signals();
            if (looking_after) look_after();
            if (held) serve_held(now_ms() - waiting_since_ >= hold_limit_ms);
        }
        finish();
        return result_;
    }

  private:
    client *client_of(int channel) {
        for (const std::unique_ptr<client> &c : clients_)
            if (c->channel == channel) return c.get();
        return nullptr;
    }

    client *client_with_pid(int pid) {
        for (const std::unique_ptr<client> &c : clients_)
            if (c->pid == pid) return c.get();
        return nullptr;
    }

    // ---- processes coming and going ----

    void hello() {
        std::string bytes;
        int channel = -1;
        request r;
        if (!channel::receive_message(control_, bytes, &channel) || channel < 0 ||
            !channel::decode(bytes, r) || r.what != ask::hello) {
            if (channel >= 0) ::close(channel);
            return;
        }
        ::fcntl(channel, F_SETFD, FD_CLOEXEC);
        reply answer;
        client *c = client_with_pid(r.pid);
        if (c != nullptr) {
            // The same process with a new program: what it held without close-on-exec stays held.
            if (c->channel >= 0) ::close(c->channel);
            c->channel = channel;
            c->between = false;
            c->said_bye = false;
            detail::exec_process(b_, *c->on_board, r.text);
            for (const auto &[fd, number] : c->on_board->fds) {
                answer.fds.emplace_back(fd, number);
                answer.data += b_.files.at(number).path + "\n";
            }
        } else {
            auto fresh = std::make_unique<client>();
            fresh->channel = channel;
            fresh->pid = r.pid;
            if (r.pid == pid_ && !result_.reached) {
                result_.reached = true;
                fresh->on_board = &detail::first_process(b_);
                fresh->on_board->pid = r.pid;
                fresh->on_board->command = r.text;
            } else {
                // A fork brings what it inherited; a program its parent started, what the parent holds
                // without close-on-exec.
                std::map<int, std::uint32_t> inherited;
                for (const auto &[fd, number] : r.fds)
                    inherited.emplace(fd, number);
                const client *parent = client_with_pid(r.parent);
                const bool exec_of_a_child = r.fds.empty() && parent != nullptr;
                if (exec_of_a_child)
                    for (const auto &[fd, number] : parent->on_board->fds)
                        if ((b_.files.at(number).flags & O_CLOEXEC) == 0) inherited.emplace(fd, number);
                fresh->on_board = &detail::add_process(b_, r.pid, r.text, inherited);
                if (exec_of_a_child)
                    for (const auto &[fd, number] : fresh->on_board->fds) {
                        answer.fds.emplace_back(fd, number);
                        answer.data += b_.files.at(number).path + "\n";
                    }
            }
            clients_.push_back(std::move(fresh));
        }
        answer.process = client_with_pid(r.pid)->on_board->number;
        channel::send_message(channel, channel::encode(answer));
    }

    // A process is gone: the kernel closes its descriptors.
    void gone(client &c) {
        if (c.channel >= 0) ::close(c.channel);
        c.channel = -1;
        c.between = false;
        if (c.pid != pid_) detail::process_ended(b_, *c.on_board);
        std::erase_if(clients_, [&c](const auto &x) { return x.get() == &c; });
    }

    // The processes between programs: the gone are gone.
    void look_after() {
        std::vector<client *> gone_now;
        for (const std::unique_ptr<client> &c : clients_)
            if (c->between && !alive(c->pid)) gone_now.push_back(c.get());
        for (client *c : gone_now)
            gone(*c);
    }

    // ---- requests ----

    void serve_channel(int fd) {
        client *c = client_of(fd);
        if (c == nullptr) return;
        std::string bytes;
        request r;
        if (c->held || !channel::receive_message(fd, bytes)) {
            // Its channel closed (a process whose request was held can only have ended).
            c->held.reset();
            ::close(c->channel);
            c->channel = -1;
            if (c->said_bye || !alive(c->pid)) {
                if (c->pid != pid_) gone(*c);
            } else {
                c->between = true;
            }
            serve_held(false);
            return;
        }
        if (!channel::decode(bytes, r)) return;
        if (!may_go(*c, r)) {
            if (!holding()) waiting_since_ = now_ms();
            c->held = std::move(r);
            return;
        }
        answer_request(*c, r);
        serve_held(false);
    }

    void answer_request(client &c, const request &r) {
        asking_ = &c;
        reply answer = serve(c, r);
        asking_ = nullptr;
        carry_out(c, answer);
        channel::send_message(c.channel, channel::encode(answer));
        waiting_since_ = now_ms();
        // What came during a real wait, once the wait is written down.
        if (!caught_.empty()) handle_caught();
    }

    // Whether the request may be answered now: its process's turn has come, or the process whose turn it
    // is has ended (the request then goes, and departs). A process without a number yet gets the next.
    // Once no call is left, the program's own goes (and departs); another process's waits for the run's
    // end, which may come first, as it did in the recorded run.
    bool may_go(const client &c, const request &r) const {
        if (r.what != ask::open && r.what != ask::read && r.what != ask::write && r.what != ask::ioctl &&
            r.what != ask::close && r.what != ask::wait)
            return true;
        if (b_.ended) return true;
        const std::optional<detail::process_turn> turn = b_.answers->turn();
        if (!turn) return true;
        const std::uint32_t number = c.on_board->number;
        if (turn->number == 0) return number == 1 || clients_.size() == 1;
        if (number != 0) {
            if (turn->number == number) return true;
        } else if (turn->number == b_.last_number + 1) {
            // A process new to the board is the one recorded next when it runs the same program.
            if (same_program(c.on_board->command, turn->command)) return true;
        }
        const bool on_board = std::any_of(clients_.begin(), clients_.end(), [&turn](const auto &x) {
            return x->on_board->number == turn->number;
        });
        return turn->number <= b_.last_number && !on_board;
    }

    bool holding() const {
        return std::any_of(clients_.begin(), clients_.end(),
                           [](const auto &c) { return c->held.has_value(); });
    }

    // The held requests whose turn has come, one after another; when `overdue`, the first held request
    // goes as it is (and departs).
    void serve_held(bool overdue) {
        for (;;) {
            client *next = nullptr;
            for (const std::unique_ptr<client> &c : clients_)
                if (c->held && (may_go(*c, *c->held) || overdue)) {
                    next = c.get();
                    break;
                }
            if (next == nullptr) return;
            overdue = false;
            const request r = std::move(*next->held);
            next->held.reset();
            answer_request(*next, r);
        }
    }

    reply serve(client &c, const request &r) {
        reply answer;
        process &p = *c.on_board;
        long result = 0;
        errno = 0;
        switch (r.what) {
        case ask::open: {
            const std::optional<detail::board_path> where = detail::classify(r.text.c_str());
            if (!where) {
                errno = EINVAL;
                result = -1;
                break;
            }
            result = detail::board_open(b_, p, r.fd, r.text.c_str(), *where, r.flags);
            if (result >= 0) answer.file = p.fds.at(r.fd);
            break;
        }
        case ask::read: {
            std::string data(std::min<std::uint64_t>(r.count, channel::transfer_max), '\0');
            result = detail::board_read(b_, p, r.fd, data.data(), data.size());
            if (result > 0) answer.data = data.substr(0, static_cast<std::size_t>(result));
            break;
        }
        case ask::write:
            result = detail::board_write(b_, p, r.fd, r.pointer ? r.data.data() : nullptr,
                                         r.pointer ? r.data.size()
                                                   : std::min<std::uint64_t>(r.count, channel::transfer_max));
            break;
        case ask::ioctl:
            result = serve_ioctl(p, r, answer);
            break;
        case ask::close:
            result = detail::board_close(b_, p, r.fd);
            break;
        case ask::wait:
            detail::board_wait(b_, p, r.microseconds);
            break;
        case ask::bye:
            c.said_bye = true;
            break;
        case ask::off_the_board:
            detail::say("boardsim: " + r.text + "; the run fails");
            result_.off_the_board = true;
            break;
        case ask::copy:
            detail::copy_descriptor(b_, p, static_cast<int>(r.value), r.fd);
            break;
        case ask::drop:
            detail::drop_descriptor(b_, p, r.fd);
            break;
        case ask::hello:
            break;
        }
        answer.result = result;
        answer.error = result < 0 ? errno : 0;
        return answer;
    }

    // A request's argument: the bytes it points at, which the driver may change and the answer carries
    // back, or the value itself.
    long serve_ioctl(process &p, const request &r, reply &answer) {
        const auto number = static_cast<unsigned long>(r.number);
        if (!r.pointer) {
            // A request that takes its argument by value gets it as the C library passed it: in the pointer.
            // NOLINTNEXTLINE(performance-no-int-to-ptr)
            void *value = reinterpret_cast<void *>(static_cast<std::uintptr_t>(r.value));
            return detail::board_ioctl(b_, p, r.fd, number, value);
        }
        answer.data = r.data;
        return detail::board_ioctl(b_, p, r.fd, number, answer.data.data());
    }

    // The run's end, when the request brought it: the requester learns how to end, and the rest of the
    // run ends with it.
    void carry_out(client &c, reply &answer) {
        if (b_.deliver) {
            answer.end = b_.deliver->then_exit ? channel::then::signal : channel::then::deliver;
            answer.end_value = b_.deliver->signal;
            b_.deliver.reset();
        }
        if (!b_.ended || carried_out_ || b_.ended->kind == run_end::how::over) return;
        carried_out_ = true;
        const run_end &end = *b_.ended;
        answer.end = static_cast<channel::then>(end.kind);
        answer.end_value = end.value;
        if (end.kind == run_end::how::reset) {
            // The board resets: every program on it stops at once.
            for (const std::unique_ptr<client> &other : clients_)
                ::kill(other->pid, SIGKILL);
            ::kill(pid_, SIGKILL);
        } else if (c.pid != pid_) {
            ::kill(pid_, end.kind == run_end::how::signal ? end.value : SIGKILL);
        }
    }

    // ---- signals ----

    void caught_signals() {
        char signals[64];
        const ssize_t n = ::read(self_pipe_, signals, sizeof signals);
        for (ssize_t i = 0; i < n; ++i) {
            const int sig = static_cast<unsigned char>(signals[i]);
            if (sig != SIGCHLD) ::kill(pid_, sig);
            caught_.emplace_back(sig, b_.clock_us);
        }
        handle_caught();
    }

    // The signals caught, in turn: the program's end, or the operator's signal that was passed on to it,
    // written down where it came.
    void handle_caught() {
        std::vector<std::pair<int, std::uint64_t>> caught;
        caught.swap(caught_);
        for (const auto &[sig, at] : caught) {
            if (sig == SIGCHLD) {
                reap();
            } else {
                detail::signal_arrived(b_, sig, at);
            }
        }
    }

    void reap() {
        int status = 0;
        for (;;) {
            const pid_t got = ::waitpid(pid_, &status, WNOHANG | WUNTRACED);
            if (got <= 0) return;
            if (WIFSTOPPED(status)) {
                // Nothing answers a stopped program's board: the run goes on.
                std::fprintf(stderr, "boardsim: the program was stopped (%s); the run goes on\n",
                             ::strsignal(WSTOPSIG(status)));
                ::kill(pid_, SIGCONT);
                continue;
            }
            program_done_ = true;
            result_.program_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
            signalled_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
            return;
        }
    }

    // ---- the end ----

    void finish() {
        // What the program asked last before it ended is answered, so that its goodbye counts.
        if (client *c = client_with_pid(pid_); c != nullptr && c->channel >= 0) {
            pollfd pending{c->channel, POLLIN, 0};
            while (c->channel >= 0 && ::poll(&pending, 1, 0) > 0 && (pending.revents & POLLIN) != 0)
                serve_channel(c->channel);
        }
        if (signalled_ != 0)
            detail::program_killed(b_, signalled_);
        else
            detail::program_ended(b_);
        // Nothing of the run outlives it.
        for (const std::unique_ptr<client> &c : clients_) {
            if (c->pid != pid_) ::kill(c->pid, SIGKILL);
            if (c->channel >= 0) ::close(c->channel);
        }
        clients_.clear();
    }

    board &b_;
    int control_;
    int self_pipe_;
    pid_t pid_;
    std::vector<std::unique_ptr<client>> clients_;
    client *asking_ = nullptr;                          // whose request is being answered
    std::uint64_t waiting_since_ = 0;                   // the last answer, or the first hold after it
    std::vector<std::pair<int, std::uint64_t>> caught_; // signals and when they came, not yet handled
    run_result result_;
    bool program_done_ = false;
    bool carried_out_ = false;
    int signalled_ = 0;
};

} // namespace

run_result serve(board &b, int control, int self_pipe, pid_t pid) {
    return server{b, control, self_pipe, pid}.run();
}

} // namespace boardsim::run
