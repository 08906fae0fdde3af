// The replay backend: a recording answers in place of the model. Each operation and wait of the
// program is matched with the next one recorded and gets its outcome; a signal recorded where the
// run ended is sent there; a program that departs from the recording is stopped where it departs.
#include "core/argument.h"
#include "core/board.h"
#include "readers/recording.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace boardsim::detail {

namespace {

[[noreturn]] void depart(std::uint64_t number, const board_event *recorded, const std::string &did) {
    std::fflush(nullptr); // what the program printed so far stays
    std::string line = "boardsim: replay departs at operation #" + std::to_string(number) + ": recorded ";
    line += recorded != nullptr ? "\"" + call_text(*recorded) + "\"" : "nothing more";
    line += ", the program " + did + "\n";
    [[maybe_unused]] const ssize_t w = real().write(2, line.data(), line.size());
    ::_exit(status_departed);
}

class replayer final : public backend {
  public:
    explicit replayer(std::vector<board_event> recording) : recorded_(std::move(recording)) {}

    int open(board &b, board_event &e, const board_path &where) override {
        answer(b, e);
        if (e.result >= 0) {
            e.result = open_descriptor(b, e.path.c_str(), where, e.flags);
            if (e.result < 0) return -1;
        }
        return static_cast<int>(result_of(e));
    }

    ssize_t read(board &b, board_event &e, open_file & /*f*/, int /*fd*/, void *buf) override {
        answer(b, e);
        if (e.result > 0) std::memcpy(buf, e.data.data(), e.data.size());
        return result_of(e);
    }

    ssize_t write(board &b, board_event &e, open_file & /*f*/, int /*fd*/, const void * /*buf*/) override {
        answer(b, e);
        return result_of(e);
    }

    int ioctl(board &b, board_event &e, open_file & /*f*/, int /*fd*/, void *arg) override {
        const board_event call = e;
        answer(b, e);
        // What the driver wrote into the argument, where the recording and the program both show it.
        if (e.argument == argument_kind::pointer && call.argument == argument_kind::pointer) {
            e.before = call.before;
            store_argument(arg, e.request, e.after);
        }
        return static_cast<int>(result_of(e));
    }

    int close(board &b, board_event &e, open_file & /*f*/, int /*released*/) override {
        answer(b, e);
        return static_cast<int>(result_of(e));
    }

    void wait(board &b, const board_event &e) override { expect(b, e); }

    void shown(board &b, const board_event & /*e*/) override { signal_if_recorded(b); }

    void end(board &b) override {
        if (const board_event *r = next_recorded(b); r != nullptr) depart(b.ops + 1, r, "ended");
    }

  private:
    // A signal that ended the recorded run right here is sent to the program now.
    void signal_if_recorded(board &b) {
        while (replayed_ < recorded_.size() && recorded_[replayed_].kind == event_kind::signal) {
            const board_event &r = recorded_[replayed_++];
            emit(b, r);
            // The model's own stop ends its trace before the signal; a recording of it does too.
            if (replayed_ < recorded_.size() && recorded_[replayed_].kind == event_kind::end) finish_run(b);
            if (const int sig = signal_number(std::string_view{r.note}.substr(0, r.note.find(' ')));
                sig != 0) {
                ::signal(sig, SIG_DFL);
                ::raise(sig);
            }
        }
    }

    // The next recorded event that the program must match (an operation or a wait), past the signals
    // that did not end the program; nullptr at the recording's end.
    const board_event *next_recorded(board &b) {
        signal_if_recorded(b);
        if (replayed_ >= recorded_.size() || recorded_[replayed_].kind == event_kind::end) return nullptr;
        return &recorded_[replayed_];
    }

    // The recorded event the program's own must be, or the program is stopped.
    const board_event &expect(board &b, const board_event &call) {
        const board_event *r = next_recorded(b);
        // A wait has no number of its own: it departs where the next operation would.
        if (r == nullptr || !same_call(*r, call))
            depart(call.kind == event_kind::wait ? b.ops + 1 : call.number, r,
                   "did \"" + call_text(call) + "\"");
        ++replayed_;
        return *r;
    }

    // The recorded outcome as the program's own event: its number and path, the recording's result.
    void answer(board &b, board_event &e) {
        board_event recorded = expect(b, e);
        recorded.number = e.number;
        recorded.path = e.path;
        recorded.text_file = e.text_file;
        e = std::move(recorded);
    }

    static long result_of(const board_event &e) {
        if (e.result < 0) errno = e.error;
        return e.result;
    }

    std::vector<board_event> recorded_;
    std::size_t replayed_ = 0;
};

} // namespace

std::unique_ptr<backend> replay_backend(std::vector<board_event> recording) {
    return std::make_unique<replayer>(std::move(recording));
}

} // namespace boardsim::detail
