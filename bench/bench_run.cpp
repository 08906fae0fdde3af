// bench_run: runs each given program the same number of times, in turns (one run of each per round, so that
// load from elsewhere on the machine falls on all of them alike), and prints one CSV line per program:
// wall time, CPU time and peak resident size, with their spread.
#include "bench_core.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    bench::run_plan plan;
    if (const std::string problem = bench::parse_plan(args, plan); !problem.empty()) {
        std::fprintf(stderr,
                     "bench_run: %s\n"
                     "usage: bench_run [-n RUNS] [-w WARMUP] [-i STDIN] [-o STDOUT] [-e NAME=VALUE]... "
                     "--cmd NAME PROG [ARGS...] [--cmd NAME PROG [ARGS...]]...\n",
                     problem.c_str());
        return 2;
    }

    std::vector<std::vector<bench::sample>> samples(plan.commands.size());
    for (auto &s : samples)
        s.reserve(plan.runs);
    for (std::size_t round = 0; round < plan.warmup + plan.runs; ++round) {
        for (std::size_t c = 0; c < plan.commands.size(); ++c) {
            const bench::command &cmd = plan.commands[c];
            bench::sample one;
            std::string why;
            if (!bench::run_once(cmd.argv, plan.stdin_path, plan.stdout_path, one, why, plan.env)) {
                std::fprintf(stderr, "bench_run: %s: %s\n", cmd.name.c_str(), why.c_str());
                return 1;
            }
            // A run that failed measured something other than the work asked for.
            if (one.status != 0) {
                std::fprintf(stderr, "bench_run: %s: run %zu ended with %s\n", cmd.name.c_str(), round + 1,
                             bench::describe_status(one.status).c_str());
                return 1;
            }
            if (round >= plan.warmup) samples[c].push_back(one);
        }
    }

    std::printf("%s\n", bench::csv_header().c_str());
    for (std::size_t c = 0; c < plan.commands.size(); ++c)
        std::printf("%s\n", bench::csv_row(plan.commands[c].name, bench::summarize(samples[c])).c_str());
    return 0;
}
