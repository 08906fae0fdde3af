// The text trace: a line per event, with its virtual time, as it happens. A recording is the same.
#include "writers/writer.h"

namespace boardsim::detail {

namespace {

class trace final : public event_writer {
  public:
    explicit trace(output &out) : out_(out) {}
    void write(const board_event &e) override { out_.write(time_prefix(e.time_us) + event_text(e) + "\n"); }

  private:
    output &out_;
};

} // namespace

std::unique_ptr<event_writer> trace_writer(output &out) {
    return std::make_unique<trace>(out);
}

} // namespace boardsim::detail
