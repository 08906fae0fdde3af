#pragma once

// The runner's files. Inputs (a scenario, a recording) are read once, by the runner, and what it read
// is handed to the program side on a descriptor. Outputs (the trace, the recording, the waveform) that
// are regular files are written under a temporary name beside the file and take its name only when
// the run has ended, so that a refused run, a program that cannot start or a killed one never costs
// the file that was there; anything else (a terminal, a FIFO, the runner's own standard output or
// error) is written as the run goes.
#include <string>
#include <vector>

namespace boardsim::run {

// A file that an option names: "--trace", "t.txt".
struct named_file {
    std::string option;
    std::string path;
};

// When two of the files are one file (by device and inode, whatever the path that leads there), one
// line that names both options; "" when they are all different. The inputs come first in the list,
// from first_output on the outputs; two inputs may be one file. Character devices (a terminal,
// /dev/null) may take part more than once.
std::string same_file(const std::vector<named_file> &files, std::size_t first_output);

class output_file {
  public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    output_file(output_file &&other) noexcept;
    output_file &operator=(output_file &&) = delete;
    // Closes the descriptor and removes a temporary that never took its name.
    ~output_file();

    // Opens where the run writes PATH. Returns "" or why it cannot be written.
    std::string open(const std::string &path);
    [[nodiscard]] int fd() const { return fd_; }
    // The run has ended: the temporary takes the file's name. Returns "" or why it could not.
    std::string commit();
    // The runner's own descriptor, once the program side holds its copy.
    void close_descriptor();

  private:
    std::string target_; // the file the temporary replaces
    std::string temp_;   // empty when the file is written in place
    int fd_ = -1;
};

// A descriptor from which the program side reads TEXT, the runner's one reading of an input: an
// unlinked temporary file in $TMPDIR or /tmp. -1, with error set, when none can be made.
int hand_over(const std::string &text, std::string &error);

} // namespace boardsim::run
