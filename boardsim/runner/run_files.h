#pragma once

// The runner's files. Inputs (a scenario, a recording) are read once, within a bound, and refused at
// their first NUL byte. Outputs (the trace, the recording, the waveform and its save file) that are
// regular files are written under a temporary name beside the file (beside a symbolic link's target,
// as the shell's ">" follows links) and take its name only when the run has ended whole, so that a
// refused run, a program that cannot start, a killed one or a failed write never costs the file that
// was there; anything else (a terminal, a FIFO, the runner's own standard output or error) is written
// as the run goes. A temporary is named for the run that writes it and locked while it does: one that
// no run holds was left by a killed runner, and the next run that writes the same file removes it.
#include "writers/output.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace boardsim::run {

// A file that an option names: "--trace", "t.txt".
struct named_file {
    std::string option;
    std::string path;
};

// When two of the files are one file (by device and inode, whatever the path that leads there, a
// dangling link by the file it names), one line that names both options; "" when they are all
// different. The inputs come first in the list, from first_output on the outputs; two inputs may be
// one file. Character devices (a terminal, /dev/null) may take part more than once.
std::string same_file(const std::vector<named_file> &files, std::size_t first_output);

// The most a scenario or a recording may hold.
constexpr std::size_t mebibyte = std::size_t{1024} * 1024;
constexpr std::size_t input_max = 64 * mebibyte;

// The whole of an input, read once (a pipe serves). Returns "" or what is wrong with it, as one line:
// "FILE: cannot be read: ...", "FILE:LINE: expected text, got a NUL byte", "FILE: ... larger than ...".
std::string read_input(const std::string &path, std::string &text);

class output_file {
  public:
    output_file() = default;
    output_file(const output_file &) = delete;
    output_file &operator=(const output_file &) = delete;
    // Removes a temporary that never took its name.
    ~output_file();

    // Opens where the run writes PATH. Returns "" or why it cannot be written.
    std::string open(const std::string &path);
    // Where the writers write.
    [[nodiscard]] detail::output &out() { return *out_; }
    [[nodiscard]] bool is_open() const { return out_ != nullptr; }
    // The run has ended: the temporary takes the file's name, unless a write failed (the file then
    // keeps what it held). Returns false when the output is not whole; its line is written.
    bool commit();
    // The run's file is not to be kept (a save file for a waveform that failed): the file keeps what it
    // held.
    void discard();

  private:
    std::string target_; // the file the temporary replaces
    std::string temp_;   // empty when the file is written in place
    std::unique_ptr<detail::output> out_;
};

} // namespace boardsim::run
