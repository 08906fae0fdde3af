#pragma once

// What a file is to the kernel that would run it: an ELF file (its class, its machine, whether it
// needs the dynamic loader and so can be interposed, the symbols it exports), a script that names its
// interpreter ("#!"), or neither. Read with the C library's own calls and a few reads of the file.
#include <optional>
#include <string>
#include <string_view>

namespace boardsim::detail {

struct executable {
    bool elf = false;
    bool script = false;
    int elf_class = 0;       // 1: 32-bit, 2: 64-bit
    int machine = 0;         // e_machine
    bool dynamic = false;    // it has an interpreter (the dynamic loader): LD_PRELOAD reaches it
    std::string interpreter; // a script's, the first word after "#!"
};

// The file as the kernel sees it, or nothing, with errno, when it cannot be read.
std::optional<executable> read_executable(const char *path);
// Whether the ELF file exports (defines in its dynamic symbols) the name.
bool exports_symbol(const char *path, std::string_view name);
// "64-bit x86", "32-bit ARM", ...: a machine as a user knows it.
std::string machine_name(const executable &e);

} // namespace boardsim::detail
