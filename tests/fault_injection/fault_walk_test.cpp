// Walks test_type_spi and watchdog through every failure point of the board: a clean run counts the
// board operations, then each one is made to fail in turn. Every run must end as the tools promise for
// that failure (its messages, its result, its exit status: the runner gives 128 + N for a program's
// signal N, so a crash shows there), and with every SPI port that it opened closed again.
#include "run.h"
#include "vexa_double_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

std::string scenario_file(const std::string &name) {
    return testsupport::read_file(std::string{BOARD_SCENARIOS} + "/" + name);
}

testsupport::board_run run_probe(const std::string &scenario) {
    return testsupport::run_on_board({testsupport::bin_path("test_type_spi")}, scenario);
}

// From the trace's last line, "end: still open: ...; N board operations".
int operation_count(const lines &trace) {
    static const std::regex end{R"(end: still open: .*; ([0-9]+) board operations$)"};
    std::smatch m;
    if (trace.empty() || !std::regex_search(trace.back(), m, end)) return 0;
    return std::stoi(m[1]);
}

bool all_closed(const lines &trace) {
    return !trace.empty() && trace.back().find("end: still open: none;") != std::string::npos;
}

// The failed operation as the trace shows it: "#N open /dev/spidev2.0 ..." with " (injected)" at the end.
struct injected_op {
    int number;
    std::string op;
    std::string path;
    std::string line;
};

std::vector<injected_op> injected(const lines &trace) {
    static const std::regex line{R"(#([0-9]+) (open|read|write|ioctl|close) (\S+) .*\(injected\)$)"};
    std::vector<injected_op> found;
    std::smatch m;
    for (const std::string &l : trace)
        if (std::regex_search(l, m, line)) found.push_back({std::stoi(m[1]), m[2], m[3], l});
    return found;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Every line test_type_spi may write to standard error.
bool known_diagnostics(const std::string &err) {
    static const std::regex known{
        R"((spi [0-7] init fail\.|chain [0-7] init fail\.|spi [0-7] not inserted\.|)"
        R"(send command \[reset\] |spi_poll_result spi_read_data failed\.|)"
        R"(spi_poll_result fail\.|spi_send_command fail\.))"};
    return std::ranges::all_of(testsupport::split_lines(err),
                               [](const std::string &l) { return std::regex_match(l, known); });
}

// The operations of a clean run to make fail, 1 to count. Under an emulator, where each run costs
// a hundred times more and the host's suite walks them all already, one of each kind (the call, the
// file with its numbers left out, the request) and every operation on the answering chain's port.
std::vector<int> operations_to_walk(const lines &trace, int count, const std::string &port) {
    std::vector<int> chosen;
    if (testsupport::emulator().empty()) {
        for (int n = 1; n <= count; ++n)
            chosen.push_back(n);
        return chosen;
    }
    static const std::regex operation{R"(#([0-9]+) (\S+) (\S+) ?(\S*))"};
    static const std::regex number{"[0-9]+"};
    std::set<std::string> kinds;
    std::smatch m;
    for (const std::string &l : trace) {
        if (!std::regex_search(l, m, operation)) continue;
        std::string kind = m.str(2);
        kind.append(" ").append(std::regex_replace(m.str(3), number, "#"));
        if (m.str(2) == "ioctl") kind.append(" ").append(m.str(4));
        if (m.str(3) == port || kinds.insert(kind).second) chosen.push_back(std::stoi(m.str(1)));
    }
    return chosen;
}

// The line of the answering chain's hash board that the operation n of a clean probe drives high, or
// nothing: its slot lines' exports, their directions and their raising writes (an export names its line
// in its write, a value its level in its write: the open and the close around it take theirs from it).
// Without them the hash board is never powered up, and the chips never answer.
bool powers_the_answering_board(const lines &trace, int n, int answering_chain) {
    if (answering_chain < 0) return false;
    static const std::regex op{R"(#([0-9]+) (open|write|close) (\S+) ?(.*)$)"};
    std::map<int, std::array<std::string, 3>> ops; // number: call, path, rest
    std::smatch m;
    for (const std::string &l : trace)
        if (std::regex_search(l, m, op)) ops[std::stoi(m.str(1))] = {m.str(2), m.str(3), m.str(4)};
    const auto it = ops.find(n);
    if (it == ops.end() || it->second[0] == "close") return false;
    // The write this operation belongs to: itself, or the one after its open.
    const auto write = it->second[0] == "write" ? it : ops.find(n + 1);
    if (write == ops.end() || write->second[0] != "write" || write->second[1] != it->second[1]) return false;
    const std::string &path = it->second[1];
    const std::string &written = write->second[2];
    constexpr std::array<std::array<int, 3>, 8> slots{{{872, 854, 855},
                                                       {873, 856, 857},
                                                       {874, 858, 859},
                                                       {875, 860, 861},
                                                       {876, 862, 863},
                                                       {877, 864, 865},
                                                       {878, 890, 891},
                                                       {879, 892, 893}}};
    const auto &chain_slots = slots[static_cast<std::size_t>(answering_chain)];
    return std::any_of(chain_slots.begin(), chain_slots.end(), [&](int line) {
        const std::string number = std::to_string(line);
        return (path == "/sys/class/gpio/export" && written.starts_with("\"" + number + "\"")) ||
               path == "/sys/class/gpio/gpio" + number + "/direction" ||
               (path == "/sys/class/gpio/gpio" + number + "/value" && written.starts_with("\"1"));
    });
}

// Walks the probe over a board whose answering chain (if any) is answering_chain.
void walk_probe(const std::string &board, int answering_chain) {
    const testsupport::board_run clean = run_probe(board);
    ASSERT_EQ(clean.result.exit_code, 0) << clean.result.err;
    ASSERT_TRUE(all_closed(clean.trace));
    const int count = operation_count(clean.trace);
    ASSERT_GT(count, 0);
    const std::string port = "/dev/spidev" + std::to_string(answering_chain) + ".0";
    int port_reads = 0;

    for (const int n : operations_to_walk(clean.trace, count, port)) {
        const testsupport::board_run r = run_probe(board + "\nfail-op " + std::to_string(n) + "\n");
        const std::string where = "operation " + std::to_string(n);
        const auto failed = injected(r.trace);
        ASSERT_EQ(failed.size(), 1U) << where;
        const injected_op &f = failed.front();
        const std::string context = where + ": " + f.op + " " + f.path + "\n" + r.result.err;

        EXPECT_EQ(f.number, n) << context;
        EXPECT_EQ(r.result.exit_code, 0) << context;
        EXPECT_TRUE(r.result.out == clean.result.out || r.result.out == "TYPE_ERR\n")
            << context << r.result.out;
        EXPECT_TRUE(all_closed(r.trace)) << context << r.trace.back();
        EXPECT_TRUE(known_diagnostics(r.result.err)) << context;

        const bool spi = f.path.rfind("/dev/spidev", 0) == 0;
        if (f.op == "close" || contains(f.path, "fclk")) {
            // Results nobody looks at: the run is the clean one.
            EXPECT_EQ(r.result.out, clean.result.out) << context;
            EXPECT_EQ(r.result.err, clean.result.err) << context;
        } else if (spi && (f.op == "open" || f.op == "ioctl")) {
            const std::string chain = f.path.substr(11, 1);
            EXPECT_TRUE(contains(r.result.err, "spi " + chain + " init fail.\n")) << context;
            EXPECT_EQ(r.result.out, f.path == port ? "TYPE_ERR\n" : clean.result.out) << context;
        } else if (f.path == port && f.op == "write") {
            EXPECT_TRUE(contains(r.result.err, "spi_send_command fail.\n")) << context;
            EXPECT_EQ(r.result.out, "TYPE_ERR\n") << context;
        } else if (f.path == port && f.op == "read") {
            // The first read hunts for the header; the later ones read the body.
            const bool header = ++port_reads == 1;
            EXPECT_EQ(contains(r.result.err, "spi_poll_result spi_read_data failed.\n"), header) << context;
            EXPECT_TRUE(contains(r.result.err, "spi_poll_result fail.\n")) << context;
            EXPECT_EQ(r.result.out, "TYPE_ERR\n") << context;
        } else if (contains(f.path, "/sys/class/gpio/")) {
            // A line's failure decides the result only for the answering chain: a failed read of its
            // insertion line (its zeroed byte is not "0", so the chain counts as not inserted), and a
            // failure that keeps its hash board from being powered up.
            const bool answering_insertion =
                answering_chain >= 0 && f.op == "read" &&
                f.path == "/sys/class/gpio/gpio" + std::to_string(896 + answering_chain) + "/value";
            const bool unpowered = powers_the_answering_board(clean.trace, n, answering_chain);
            EXPECT_EQ(r.result.out, answering_insertion || unpowered ? "TYPE_ERR\n" : clean.result.out)
                << context;
        } else {
            ADD_FAILURE() << context << "an operation the walk does not know";
        }
    }
}

TEST(FaultWalkProbe, EveryOperationOfAProbeThatFindsChain2) {
    walk_probe(scenario_file("chain2_k6.scn"), 2);
}

TEST(FaultWalkProbe, EveryOperationOfAProbeWithNoBoardInserted) {
    walk_probe(scenario_file("no_boards.scn"), -1);
}

TEST(FaultWalkProbe, EveryOperationWithNoPortPresent) {
    walk_probe(scenario_file("ports_missing.scn"), -1);
}

// The watchdog logs through the recording double; every line is let through.
const vexadouble::setup all_lines{.level = 0, .level_at_init = 0};
const std::string log_init = "vexa_log_init(0, \"watchdog\")";
const std::string cannot_open = vexadouble::log_call(5, "/dev/watchdog0 watchdog device can't be enabled.");

vexadouble::board_outcome run_watchdog(const lines &args, const std::string &scenario) {
    lines argv{testsupport::bin_path("watchdog")};
    argv.insert(argv.end(), args.begin(), args.end());
    return vexadouble::run_on_board(argv, scenario, vexadouble::library::double_, all_lines);
}

// What the program asked of the board, in order: each operation (with its request code) without its
// result, and each wait.
lines asked(const lines &trace) {
    static const std::regex op{R"(^\[[ .0-9]+\] (?:#[0-9]+ )?((?:open|ioctl|close|wait) \S+))"};
    static const std::regex request{R"( (0x[0-9a-f]+) )"};
    lines found;
    std::smatch m;
    for (const std::string &l : trace) {
        if (!std::regex_search(l, m, op)) continue;
        std::string asked = m[1];
        if (std::regex_search(l, m, request)) asked.append(" ").append(m[1].str());
        found.push_back(asked);
    }
    return found;
}

// From the trace's last line, what the program held when it ended.
std::string still_open(const lines &trace) {
    static const std::regex end{R"(end: still open: (.*); )"};
    std::smatch m;
    return !trace.empty() && std::regex_search(trace.back(), m, end) ? m[1].str() : "no end line";
}

struct watchdog_walk {
    const char *name;
    lines args;
    std::string scenario;
    int exit_code; // of a run that is not stopped by a failed open
};

constexpr const char *settimeout = "0xc0045706";
constexpr const char *keepalive = "0x80045705";

TEST(FaultWalkWatchdog, EveryOperationOfEachMode) {
    const std::vector<watchdog_walk> walks{
        {"set the timeout", {"-t", "30"}, "", 0},
        {"usage", {"-x"}, "", 0},
        // The operator's SIGTERM at the third keep-alive is how ticking ends: 128 + 15.
        {"tick", {}, "watchdog stop-after 3\n", 143},
        {"tick at a period", {"-p", "5"}, "watchdog stop-after 3\n", 143},
    };
    for (const watchdog_walk &w : walks) {
        const auto clean = run_watchdog(w.args, w.scenario);
        ASSERT_EQ(clean.result.exit_code, w.exit_code) << w.name << clean.result.err;
        const int count = operation_count(clean.trace);
        ASSERT_GT(count, 0) << w.name;

        for (int n = 1; n <= count; ++n) {
            const auto r = run_watchdog(w.args, w.scenario + "fail-op " + std::to_string(n) + "\n");
            const std::string context = std::string{w.name} + ", operation " + std::to_string(n);
            const auto failed = injected(r.trace);
            ASSERT_EQ(failed.size(), 1U) << context;
            const injected_op &f = failed.front();
            EXPECT_EQ(f.number, n) << context;
            EXPECT_EQ(r.result.out, "") << context;
            if (f.op == "open") {
                // Whatever the arguments: one ungated line, status 0, nothing more asked.
                EXPECT_EQ(r.calls, (lines{log_init, cannot_open})) << context;
                EXPECT_EQ(r.result.exit_code, 0) << context;
                EXPECT_EQ(r.result.err, "") << context;
                EXPECT_EQ(asked(r.trace), lines{"open /dev/watchdog0"}) << context;
                EXPECT_EQ(still_open(r.trace), "none") << context;
                continue;
            }
            // A refused timeout is reported in place of the timeout set; a failed keep-alive or close
            // is not reported. Either way the run asks what the clean one asked and ends as it did.
            lines calls = clean.calls;
            if (contains(f.line, settimeout))
                calls = {log_init, vexadouble::log_call(5, "Watchdog timeout can't be set to 30 seconds: "
                                                           "Input/output error.")};
            EXPECT_EQ(r.calls, calls) << context;
            EXPECT_EQ(r.result.exit_code, w.exit_code) << context;
            EXPECT_EQ(r.result.err, clean.result.err) << context;
            EXPECT_EQ(still_open(r.trace), still_open(clean.trace)) << context;
            // The board counts only the keep-alives it took: the operator's signal comes one later.
            lines expected = asked(clean.trace);
            if (contains(f.line, keepalive))
                expected.insert(expected.end(), expected.end() - 2, expected.end());
            EXPECT_EQ(asked(r.trace), expected) << context;
        }
    }
}

} // namespace
