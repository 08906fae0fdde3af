#pragma once

// The program a run starts, found and checked before anything of the run happens: that it can be run
// at all (as the shell would say when not), and that the board it runs on will be the simulated one
// (the preload library is the simulated board's, built for the program's machine; the program is
// linked dynamically, so that the library reaches it; without an emulator, it is built for this
// machine).
#include <string>

namespace boardsim::run {

struct program_check {
    int status = 0;      // 0 when the program may start, else the runner's exit status
    std::string message; // the one line that says why not
    std::string path;    // the file executed
};

program_check check_program(const std::string &program, const std::string &preload, bool emulated);
// A program found as the shell finds it (on the PATH when its name names no folder).
program_check find_on_path(const std::string &name);

} // namespace boardsim::run
