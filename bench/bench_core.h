#pragma once

// The measuring side of the benchmarks: running a program and timing it, summarising the samples, and the
// loopback reply server that the status query client and its peers are measured against.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bench {

// One run of one program, as wait4 reports it.
struct sample {
    std::int64_t wall_ns = 0;
    std::int64_t user_ns = 0;
    std::int64_t sys_ns = 0;
    std::int64_t maxrss_kib = 0;
    int status = 0; // raw wait status
};

// argv[0] is a path. stdin_path and stdout_path are opened afresh for the run; stderr goes to /dev/null.
// env entries (NAME=value) are added to the child's environment, replacing entries of the same name.
// Returns false (with why) when the program could not be started at all.
bool run_once(const std::vector<std::string> &argv, const std::string &stdin_path,
              const std::string &stdout_path, sample &out, std::string &why,
              const std::vector<std::string> &env = {});

// "exit 0", "exit 3", "signal 9": what a raw wait status means, for messages.
std::string describe_status(int status);

struct summary {
    std::size_t runs = 0;
    double wall_min_us = 0, wall_p10_us = 0, wall_median_us = 0, wall_p90_us = 0, wall_max_us = 0;
    double cpu_p10_us = 0, cpu_median_us = 0, cpu_p90_us = 0, user_median_us = 0, sys_median_us = 0;
    std::int64_t maxrss_median_kib = 0, maxrss_max_kib = 0;
};

// Linear interpolation between the two nearest ranks; values must be sorted ascending and not empty.
double percentile(std::span<const double> sorted, double q);

summary summarize(std::span<const sample> samples);

// The column names and one row of bench_run's CSV output.
std::string csv_header();
std::string csv_row(const std::string &name, const summary &s);

// One program to measure: a label and its argument vector.
struct command {
    std::string name;
    std::vector<std::string> argv;
};

struct run_plan {
    std::size_t runs = 10;
    std::size_t warmup = 1;
    std::string stdin_path = "/dev/null";
    std::string stdout_path = "/dev/null";
    std::vector<std::string> env;
    std::vector<command> commands;
};

// bench_run [-n RUNS] [-w WARMUP] [-i STDIN] [-o STDOUT] [-e NAME=VALUE]... --cmd NAME PROG [ARGS...]
//           [--cmd NAME PROG ...]
// Returns an empty text on success, else what was wrong.
std::string parse_plan(std::span<const std::string> args, run_plan &plan);

// The reply server's answer to one command: the command is the reply size in decimal; anything else gets
// the default size. Sizes are capped so that a mistyped command cannot exhaust the machine.
constexpr std::uint64_t max_reply_bytes = 1ULL << 32;
std::uint64_t reply_size_for(std::string_view command, std::uint64_t default_size);

// Fills out with reply text starting at offset `at` of the reply: 64-byte lines of printable characters, each
// ending in a line feed. Never a NUL, because the client prints the reply only up to its first NUL.
void fill_reply(std::span<char> out, std::uint64_t at);

// Binds a listening TCP socket to 127.0.0.1:port (0 picks a free port). Returns the descriptor or -1,
// and the port actually bound.
int listen_loopback(std::uint16_t port, std::uint16_t &bound);

// Accepts one connection, reads the command (one receive), sends the reply whole and closes. Returns the
// number of reply bytes sent, or -1 when accepting failed.
std::int64_t serve_one(int listen_fd, std::uint64_t default_size);

// The ways a client can deal with a reply, as yardsticks for api_query: hold it whole in one block
// allocated up front (what api_query does, minus its growth), hold it in a block grown as api_query grows
// its own (65536 bytes, then 65535 more each time it is full) and write it out in one go (api_query's
// receive loop without its search for the first NUL and its output through standard output), or pass
// each piece on as it arrives. All receive at most 65535 bytes at a time, as
// api_query does. Sends the command text, writes the reply to out and returns its length, or -1 on failure.
enum class reply_handling { hold, grow, stream };
std::int64_t fetch_reply(std::uint16_t port, std::string_view command, std::uint64_t size_hint,
                         reply_handling how, int out_fd);

} // namespace bench
