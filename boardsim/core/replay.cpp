// The replay backend: a recording answers in place of the model. Each operation and wait of the
// program is matched with the next one recorded and gets its outcome; the lines the board wrote of
// itself (a process that came onto it, a note, a signal, the board's reset) are written again where
// they come, and a signal or a reset ends the run as it ended the recorded one; a program that
// departs from the recording is stopped where it departs. The processes of a run are served in the
// order recorded: turn() names whose call comes next.
#include "core/argument.h"
#include "core/board.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>

namespace boardsim::detail {

namespace {

class replayer final : public backend {
  public:
    explicit replayer(std::vector<board_event> recording) : recorded_(std::move(recording)) {
        // Each call's program, from the lines that say which program each process runs.
        std::map<std::uint32_t, std::string_view> running;
        commands_.resize(recorded_.size());
        for (std::size_t i = 0; i < recorded_.size(); ++i) {
            const board_event &r = recorded_[i];
            if (r.kind == event_kind::note && r.note.starts_with("process ")) {
                const std::size_t colon = r.note.find(": ");
                if (colon == std::string::npos) continue;
                if (const std::optional<int> n = whole_number(r.note.substr(8, colon - 8)); n && *n > 0)
                    running[static_cast<std::uint32_t>(*n)] = std::string_view{r.note}.substr(colon + 2);
            } else if (const auto it = running.find(r.process); it != running.end()) {
                commands_[i] = it->second;
            }
        }
    }

    int open(board &b, board_event &e, open_file & /*f*/) override {
        if (!answer(b, e)) return -1;
        return e.result >= 0 ? 0 : static_cast<int>(result_of(e));
    }

    ssize_t read(board &b, board_event &e, open_file & /*f*/, void *buf) override {
        if (!answer(b, e)) return -1;
        if (e.result > 0) std::memcpy(buf, e.data.data(), e.data.size());
        return result_of(e);
    }

    ssize_t write(board &b, board_event &e, open_file & /*f*/, const void * /*buf*/) override {
        if (!answer(b, e)) return -1;
        return result_of(e);
    }

    int ioctl(board &b, board_event &e, open_file & /*f*/, void *arg) override {
        const board_event call = e;
        if (!answer(b, e)) return -1;
        // What the driver wrote into the argument, where the recording and the program both show it.
        if (e.argument == argument_kind::pointer && call.argument == argument_kind::pointer) {
            e.before = call.before;
            store_argument(arg, e.request, e.after);
        }
        return static_cast<int>(result_of(e));
    }

    int close(board &b, board_event &e, open_file & /*f*/, bool /*last*/) override {
        if (!answer(b, e)) return -1;
        return static_cast<int>(result_of(e));
    }

    void release(board & /*b*/, open_file & /*f*/) override {}

    void wait(board &b, const board_event &e) override { expect(b, e); }

    void pass(board &b, std::uint64_t microseconds) override {
        wait_from_ = b.clock_us;
        b.clock_us += microseconds;
    }

    void shown(board &b, const board_event & /*e*/) override { write_own_lines(b); }

    // What the recording says before its end line is written again; an operation of the program's
    // left over departs. When only other processes' are left, those processes were stopped from outside
    // (by a script, say) sooner than in the recorded run, which no board call shows: a note says so, and
    // the rest of the recording, which tells of a run that went further, is not written.
    void end(board &b) override {
        const board_event *r = next_recorded(b);
        if (r == nullptr) return;
        std::size_t last = replayed_;
        for (; last < recorded_.size() && recorded_[last].kind != event_kind::end; ++last)
            if (recorded_[last].process == 1 && recorded_[last].kind != event_kind::note &&
                recorded_[last].kind != event_kind::signal && recorded_[last].kind != event_kind::reset) {
                depart(b, b.ops + 1, r, "ended");
                return;
            }
        board_event line{.kind = event_kind::note};
        line.note = "the replay ends before the recording: process " + std::to_string(r->process) +
                    " made no more calls where the recording has \"" + call_text(*r) + "\" next";
        emit(b, std::move(line));
        replayed_ = last;
    }

    std::optional<process_turn> turn() const override {
        for (std::size_t i = replayed_; i < recorded_.size(); ++i) {
            const board_event &r = recorded_[i];
            if (r.kind == event_kind::end) break;
            if (r.kind != event_kind::note && r.kind != event_kind::signal && r.kind != event_kind::reset)
                return process_turn{.number = r.process, .command = commands_[i]};
        }
        return process_turn{};
    }

  private:
    // The recorded lines that the program's calls do not match: a note of the board's, a process that
    // came onto it, a signal, the reset. Each is written again, at its recorded time where it has one
    // no earlier than the clock; a signal or the reset ends the run as it ended the recorded one.
    void write_own_lines(board &b) {
        while (!b.ended && replayed_ < recorded_.size()) {
            const board_event &r = recorded_[replayed_];
            if (r.kind != event_kind::note && r.kind != event_kind::signal && r.kind != event_kind::reset)
                break;
            ++replayed_;
            // A process's coming and going is written by the board as it happens.
            if (r.kind == event_kind::note && r.note.starts_with("process ")) continue;
            // At its recorded time where that falls within the last wait (a signal that cut the wait
            // short moves the clock back to when it came).
            const std::optional<std::uint64_t> at =
                r.timed && r.time_us >= wait_from_ && r.time_us <= b.clock_us
                    ? std::optional<std::uint64_t>{r.time_us}
                    : std::nullopt;
            if (at && r.kind != event_kind::note) b.clock_us = *at;
            if (r.kind == event_kind::reset) {
                reset_board(b, board_reset{.why = r.note, .path = r.path});
            } else if (r.kind == event_kind::signal) {
                // The program gets it now, as it got it in the recorded run: a signal from outside, which
                // it may survive, or the board's own stop ("SIGTERM after keep-alive 3"), which ends it.
                emit(b, r);
                const std::string_view name = std::string_view{r.note}.substr(0, r.note.find(' '));
                b.last_signal = signal_number(name);
                b.deliver = delivery{.signal = b.last_signal, .then_exit = name.size() < r.note.size()};
                return;
            } else {
                emit(b, r, at);
            }
        }
    }

    // The next recorded event that the program must match (an operation or a wait), past the board's
    // own lines; nullptr at the recording's end, or once the run has ended.
    const board_event *next_recorded(board &b) {
        write_own_lines(b);
        if (b.ended || replayed_ >= recorded_.size() || recorded_[replayed_].kind == event_kind::end)
            return nullptr;
        return &recorded_[replayed_];
    }

    // The recorded event the program's own must be; nullptr when the program departs from it, which
    // ends the run with the departure's status and one line that says where.
    const board_event *expect(board &b, const board_event &call) {
        const board_event *r = next_recorded(b);
        if (b.ended) return nullptr;
        // A wait has no number of its own: it departs where the next operation would.
        if (r == nullptr || !same_call(*r, call)) {
            depart(b, call.kind == event_kind::wait ? b.ops + 1 : call.number, r,
                   "did \"" + tagged(call) + "\"");
            return nullptr;
        }
        ++replayed_;
        return r;
    }

    // A call as the trace shows it, with its process where that is not the first.
    static std::string tagged(const board_event &e) {
        std::string text;
        if (e.process > 1) text.append("@").append(std::to_string(e.process)).append(" ");
        return text.append(call_text(e));
    }

    static void depart(board &b, std::uint64_t number, const board_event *recorded, const std::string &did) {
        std::string line = "boardsim: replay departs at operation #" + std::to_string(number) + ": recorded ";
        if (recorded != nullptr)
            line.append("\"").append(tagged(*recorded)).append("\"");
        else
            line.append("nothing more");
        say(line + ", the program " + did);
        b.ended = run_end{.kind = run_end::how::status, .value = status_departed};
    }

    // The recorded outcome as the program's own event: its number and path, the recording's result.
    bool answer(board &b, board_event &e) {
        const board_event *found = expect(b, e);
        if (found == nullptr) return false;
        board_event recorded = *found;
        recorded.number = e.number;
        recorded.path = e.path;
        recorded.text_file = e.text_file;
        e = std::move(recorded);
        return true;
    }

    static long result_of(const board_event &e) {
        if (e.result < 0) errno = e.error;
        return e.result;
    }

    std::vector<board_event> recorded_;
    std::vector<std::string_view> commands_; // each recorded call's program, where a line says it
    std::size_t replayed_ = 0;
    std::uint64_t wait_from_ = 0; // when the last wait began
};

} // namespace

std::unique_ptr<backend> replay_backend(std::vector<board_event> recording) {
    return std::make_unique<replayer>(std::move(recording));
}

} // namespace boardsim::detail
