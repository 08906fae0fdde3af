#include "runner/options.h"

#include "number.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace boardsim::run {

namespace {

constexpr int status_bad_use = 2;

struct option_info {
    std::string_view name;
    std::string_view value; // what follows it ("FILE"), or "" for an option that takes nothing
    std::string_view help;
    std::string options::*text = nullptr;
    bool options::*flag = nullptr;
    bool one_of = false; // one of a group that names the whole board: at most one of them
};

// Every option, in the order the usage lists them.
const std::array<option_info, 10> table{{
    {"--scenario", "FILE", "the board to simulate (default: the default board, see boardsim-scenario(5))",
     &options::scenario, nullptr, true},
    {"--record", "FILE", "no model: the machine's real board files, every operation written to FILE",
     &options::record, nullptr, true},
    {"--replay", "FILE",
     "the recording FILE answers in place of the model (status 3 when PROGRAM departs from it)",
     &options::replay, nullptr, true},
    {"--trace", "FILE", "write the trace of every board operation to FILE", &options::trace},
    {"--vcd", "FILE", "write the run as a waveform (Value Change Dump) to FILE, and FILE's .gtkw beside it",
     &options::vcd},
    {"--timeline", "",
     "draw the run's GPIO levels, SPI transfers and keep-alives on standard error at its end", nullptr,
     &options::timeline},
    {"--fail-op", "N", "make the Nth board operation fail", &options::fail_op},
    {"--preload", "LIB",
     "the preload library (default: ../lib/boardsim/libboardsim.so beside this runner, or "
     "../lib/libboardsim.so)",
     &options::preload},
    {"--emulator", "CMD",
     "run PROGRAM as CMD -E LD_PRELOAD=... PROGRAM (e.g. \"qemu-arm -L /usr/arm-linux-gnueabihf\")",
     &options::emulator},
    {"--check", "", "only check the scenario (or recording) and exit", nullptr, &options::check},
}};

int refuse(const std::string &message) {
    std::fprintf(stderr, "boardsim: %s%s", message.c_str(), message.ends_with('\n') ? "" : "\n");
    return status_bad_use;
}

const option_info *find(std::string_view word) {
    for (const option_info &o : table)
        if (word == o.name) return &o;
    return nullptr;
}

// A word that is itself an option, and so no option's value.
bool option_like(std::string_view word) {
    return word == "--" || word == "-h" || word.starts_with("--");
}

} // namespace

std::string usage() {
    std::string text = "usage: boardsim";
    std::size_t line = text.size();
    auto add = [&](const std::string &piece) {
        if (line + piece.size() + 1 > 100) {
            text += "\n               ";
            line = 15;
        }
        text += " " + piece;
        line += piece.size() + 1;
    };
    std::string group;
    for (const option_info &o : table) {
        std::string piece{o.name};
        if (!o.value.empty()) piece += " " + std::string{o.value};
        if (o.one_of) {
            group += (group.empty() ? "[" : " | ") + piece;
            continue;
        }
        if (!group.empty()) add(group + "]");
        group.clear();
        add("[" + piece + "]");
    }
    add("-- PROGRAM [ARGS...]");
    text += "\n       boardsim --help | --version\n";
    text += "Runs PROGRAM on the simulated board and exits with its status (128+N when signal N ended it;\n"
            "2 for a refused run, 3 when a replay departs, 4 when the watchdog reset the board, 5 when an\n"
            "output could not be written; 126 and 127 when PROGRAM cannot be run). The scenario keys are in\n"
            "boardsim-scenario(5); the runner and its files in boardsim(1).\n";
    for (const option_info &o : table) {
        std::string left = "  " + std::string{o.name};
        if (!o.value.empty()) left += " " + std::string{o.value};
        left.resize(std::max<std::size_t>(left.size() + 1, 20), ' ');
        text += left + std::string{o.help} + "\n";
    }
    text += "  -h, --help        this text\n  --version         the version\n";
    return text;
}

int read_options(int argc, char **argv, options &opt) {
    std::vector<const option_info *> given;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage().c_str(), stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("boardsim %s\n", BOARD_TOOLS_VERSION);
            return 0;
        }
        const option_info *o = find(arg);
        if (o == nullptr) {
            if (arg.starts_with("-")) return refuse("unknown option " + std::string{arg} + "\n" + usage());
            break;
        }
        for (const option_info *earlier : given)
            if (earlier == o) return refuse(std::string{o->name} + " is given twice: give it once");
        given.push_back(o);
        if (o->flag != nullptr) {
            opt.*(o->flag) = true;
            continue;
        }
        if (i + 1 >= argc)
            return refuse(std::string{o->name} + " needs a value (" + std::string{o->value} + ")");
        const std::string_view value = argv[++i];
        if (value.empty())
            return refuse(std::string{o->name} + " needs a value (" + std::string{o->value} +
                          "), got an empty one");
        if (option_like(value))
            return refuse(std::string{o->name} + " needs a value (" + std::string{o->value} +
                          "), got the option " + std::string{value});
        opt.*(o->text) = value;
    }
    for (; i < argc; ++i)
        opt.program.emplace_back(argv[i]);
    if (opt.program.empty() && !opt.check) return refuse("no program to run\n" + usage());
    int boards = 0;
    for (const option_info &o : table)
        if (o.one_of && !(opt.*(o.text)).empty()) ++boards;
    if (boards > 1) return refuse("--scenario, --record and --replay each name the whole board: give one");
    if (!opt.fail_op.empty() && !parse_number<std::uint64_t>(opt.fail_op))
        return refuse("--fail-op needs a number, got " + opt.fail_op);
    if (!opt.fail_op.empty() && (!opt.record.empty() || !opt.replay.empty()))
        return refuse("--fail-op needs the model: not with --record or --replay");
    return -1;
}

} // namespace boardsim::run
