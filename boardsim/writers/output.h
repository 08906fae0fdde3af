#pragma once

// Where a writer's bytes go: a descriptor, and the name the user gave it, for messages. Every write
// is checked, to the last byte: the first that fails ends the output (nothing more is written to it),
// with one line on standard error that names the file and the reason; whoever made the output asks
// it at the end whether it holds the whole run.
#include <string>
#include <string_view>
#include <sys/types.h>

namespace boardsim::detail {

class output {
  public:
    output(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    output(const output &) = delete;
    output &operator=(const output &) = delete;
    ~output();

    // At the descriptor's offset (its end, for a file written from its start or opened to append).
    bool write(std::string_view bytes);
    // At an offset of its own, and read back from one: a file rewritten in place (the waveform).
    bool write_at(std::string_view bytes, off_t offset);
    bool read_at(std::string &bytes, off_t offset);

    [[nodiscard]] bool failed() const { return error_ != 0; }
    [[nodiscard]] int error() const { return error_; }
    [[nodiscard]] const std::string &name() const { return name_; }

  private:
    bool fail(int error);

    int fd_;
    std::string name_;
    int error_ = 0;
};

} // namespace boardsim::detail
