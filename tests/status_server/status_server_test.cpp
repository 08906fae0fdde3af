// The status server stand-in, driven by the real api_query.
#include "run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::string_literals;

// status_server started in the background on a port of the system's choosing.
class stand_in {
  public:
    explicit stand_in(const std::vector<std::string> &args) {
        std::vector<std::string> argv{testsupport::bin_path("status_server"), "-p", "0"};
        argv.insert(argv.end(), args.begin(), args.end());

        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        server_ = std::make_unique<testsupport::process>(testsupport::with_emulator(argv),
                                                         testsupport::process_streams{.out = out[1]});
        ::close(out[1]);
        banner_ = testsupport::read_line(out[0]);
        ::close(out[0]);
        port_ = banner_.substr(banner_.rfind(':') + 1);
    }

    [[nodiscard]] const std::string &banner() const { return banner_; }
    [[nodiscard]] const std::string &port() const { return port_; }

    // The stand-in's exit status once it has served its connections, -1 when a signal ended it.
    int wait() {
        const int status = server_->wait();
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    std::unique_ptr<testsupport::process> server_;
    std::string banner_;
    std::string port_;
};

// Lines of 63 letters a..z over and over, each line ended by a line feed.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = i % 64 == 63 ? '\n' : static_cast<char>('a' + i % 26);
    return bytes;
}

struct exchange_case {
    const char *name;
    std::vector<std::string> server_args;
    std::string command;
    int exit_code;
    std::string out;
};

TEST(StatusServer, ServesEachBehaviourToApiQuery) {
    const std::string reset = "Recv failed: "s + std::strerror(ECONNRESET) + "\n";
    const std::string silent = "Recv failed: "s + std::strerror(ETIMEDOUT) + "\n";
    const std::vector<exchange_case> cases{
        {"summary",
         {},
         "summary",
         0,
         "status=ok command=summary elapsed=0 chains=0 hashrate=0.00 accepted=0 rejected=0\n"},
        {"default command",
         {},
         "",
         0,
         "status=ok command=summary elapsed=0 chains=0 hashrate=0.00 accepted=0 rejected=0\n"},
        {"version", {}, "version", 0, "status=ok command=version server=status_server api=1\n"},
        {"devs", {}, " devs ", 0, "status=ok command=devs count=0\n"},
        {"unknown command", {}, "summaryx", 0, "status=error msg=unknown command\n"},
        {"explicit answer mode", {"-m", "answer"}, "devs", 0, "status=ok command=devs count=0\n"},
        {"close without answering", {"-m", "close"}, "summary", 0, "\n"},
        {"embedded NUL", {"-m", "nul"}, "summary", 0, "before\n"},
        {"empty reply of size 0", {"-m", "size", "-s", "0"}, "summary", 0, "\n"},
        {"reply of the first limit", {"-m", "size", "-s", "65535"}, "summary", 0, pattern(65535) + "\n"},
        {"reply of megabytes", {"-m", "size", "-s", "3000000"}, "summary", 0, pattern(3000000) + "\n"},
        {"reset after a part", {"-m", "reset", "-s", "1000"}, "summary", 1, reset + pattern(1000) + "\n"},
        {"reset before any byte", {"-m", "reset"}, "summary", 1, reset + "\n"},
        {"silent peer", {"-m", "silent"}, "summary", 1, silent + "\n"},
    };
    for (const exchange_case &c : cases) {
        std::vector<std::string> server_args{"-c", "1"};
        server_args.insert(server_args.end(), c.server_args.begin(), c.server_args.end());
        stand_in server{server_args};
        ASSERT_EQ(server.banner(), "listening on 127.0.0.1:" + server.port()) << c.name;

        testsupport::run_options options;
        options.timeout_seconds = 30;
        // The silent peer is waited for with the program's idle bound, shortened from 60 s.
        options.env = {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_RCVTIMEO_MS=200"};
        const testsupport::run_result run = testsupport::run_program(
            {testsupport::bin_path("api_query"), c.command, "127.0.0.1", server.port()}, options);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.name;
        EXPECT_TRUE(run.out == c.out)
            << c.name << ": " << run.out.size() << " bytes: " << run.out.substr(0, 120);
        EXPECT_EQ(run.err, "") << c.name;
        EXPECT_EQ(server.wait(), 0) << c.name;
    }
}

TEST(StatusServer, ServesConnectionsOneAfterAnotherUpToTheCount) {
    stand_in server{{"-c", "3"}};
    const std::vector<std::pair<std::string, std::string>> exchanges{
        {"devs", "status=ok command=devs count=0\n"},
        {"version", "status=ok command=version server=status_server api=1\n"},
        {"pools", "status=error msg=unknown command\n"},
    };
    for (const auto &[command, reply] : exchanges) {
        const testsupport::run_result run = testsupport::run_program(
            {testsupport::bin_path("api_query"), command, "127.0.0.1", server.port()});
        EXPECT_EQ(run.exit_code, 0) << command;
        EXPECT_EQ(run.out, reply) << command;
    }
    EXPECT_EQ(server.wait(), 0);
}

// Blanks and a "+" before a number are taken, as strtol has always taken them.
TEST(StatusServer, TakesBlanksAndAPlusBeforeANumber) {
    stand_in server{{"-p", " +0", "-c", "\t+1"}};
    ASSERT_EQ(server.banner(), "listening on 127.0.0.1:" + server.port());
    const testsupport::run_result run =
        testsupport::run_program({testsupport::bin_path("api_query"), "devs", "127.0.0.1", server.port()});
    EXPECT_EQ(run.out, "status=ok command=devs count=0\n");
    EXPECT_EQ(server.wait(), 0) << "one connection, then the end";
}

TEST(StatusServer, RefusesBadOptions) {
    const std::string usage =
        "usage: " + testsupport::bin_path("status_server") +
        " [-a address] [-p port] [-m answer|close|nul|size|reset|silent] [-s bytes] [-c connections]\n";
    const std::vector<std::vector<std::string>> cases{
        {"-m", "hang"}, {"-p", "65536"}, {"-p", "40x"}, {"-p", "-1"}, {"-p", "40 "}, {"-p", "+-4"},
        {"-p", ""},     {"-s", "x"},     {"-c", "0"},   {"extra"},    {"-z"},
    };
    for (const std::vector<std::string> &args : cases) {
        std::vector<std::string> argv{testsupport::bin_path("status_server")};
        argv.insert(argv.end(), args.begin(), args.end());
        const testsupport::run_result run = testsupport::run_program(argv);
        const std::string shown = args[0] + (args.size() > 1 ? " \"" + args[1] + "\"" : "");
        EXPECT_EQ(run.exit_code, 2) << shown;
        EXPECT_EQ(run.out, "") << shown;
        EXPECT_TRUE(run.err.ends_with(usage)) << shown << ": " << run.err;
    }
    const testsupport::run_result bad_address =
        testsupport::run_program({testsupport::bin_path("status_server"), "-a", "localhost"});
    EXPECT_EQ(bad_address.exit_code, 2);
    EXPECT_EQ(bad_address.err, "not an IPv4 address: localhost\n");
}

} // namespace

namespace {

// Both tools of our own answer --help on standard output and --version with the project's version.
TEST(OwnTools, AnswerHelpAndVersion) {
    for (const std::string tool : {"status_server", "boardsim"}) {
        const auto help = testsupport::run_program({testsupport::bin_path(tool), "--help"});
        EXPECT_EQ(help.exit_code, 0) << tool;
        EXPECT_TRUE(help.out.starts_with("usage: ")) << tool << ": " << help.out;
        EXPECT_EQ(help.err, "") << tool;
        const auto version = testsupport::run_program({testsupport::bin_path(tool), "--version"});
        EXPECT_EQ(version.exit_code, 0) << tool;
        EXPECT_EQ(version.out, tool + " " BOARD_TOOLS_VERSION "\n");
    }
}

} // namespace
