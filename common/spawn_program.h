#pragma once

// Starting a program: fork, the child's settings, exec, and the exec's own error brought back through
// a pipe that a successful exec closes, so that "cannot run" is told from a program that ran and
// failed. The simulated board's runner, the benchmarks and the tests start every program through it.
#include <array>
#include <span>
#include <sys/types.h>

struct spawn_settings {
    const char *const *argv = nullptr; // argv[0] is the file executed, as given: no search of PATH
    const char *const *envp = nullptr; // nullptr: the caller's own environment
    // The program's standard input, output and error; -1 leaves the caller's in place.
    std::array<int, 3> streams{-1, -1, -1};
    // Descriptors handed to the program besides its standard streams (their close-on-exec cleared).
    std::span<const int> handed{};
    bool own_group = false;      // the program leads a process group of its own
    int parent_death_signal = 0; // sent to the program when the caller dies; 0 for none
};

// The program's process, or -1 with `error` set to why it did not start (the pipe's, the fork's or the
// exec's errno). The child starts with every signal unblocked and at its default action, whatever the
// caller blocks, ignores or handles.
pid_t spawn_program(const spawn_settings &settings, int &error);
