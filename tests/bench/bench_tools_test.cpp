#include "bench_core.h"
#include "run.h"

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using testsupport::read_file;
using testsupport::run_program;
using testsupport::split_lines;
using testsupport::temp_dir;
using testsupport::write_file;

std::string tool(const std::string &name) {
    return std::string{BENCH_TOOLS_DIR} + "/" + name;
}

bench::sample timed(std::int64_t wall_us, std::int64_t cpu_us, std::int64_t rss_kib) {
    return bench::sample{.wall_ns = wall_us * 1000,
                         .user_ns = cpu_us * 750,
                         .sys_ns = cpu_us * 250,
                         .maxrss_kib = rss_kib,
                         .status = 0};
}

TEST(Summary, MedianSpreadAndPeakOfUnorderedSamples) {
    const std::vector<bench::sample> samples{timed(500, 40, 1200), timed(100, 8, 1000), timed(300, 24, 1100),
                                             timed(200, 16, 1000), timed(400, 32, 4000)};
    EXPECT_EQ(bench::csv_row("q", bench::summarize(samples)),
              "q,5,100.0,140.0,300.0,460.0,500.0,11.2,24.0,36.8,18.0,6.0,1100,4000");
}

TEST(Summary, SingleSampleIsEveryPercentile) {
    const std::vector<bench::sample> samples{timed(250, 10, 900)};
    EXPECT_EQ(bench::csv_row("one", bench::summarize(samples)),
              "one,1,250.0,250.0,250.0,250.0,250.0,10.0,10.0,10.0,7.5,2.5,900,900");
}

TEST(Summary, PercentileInterpolatesBetweenRanks) {
    const std::vector<double> v{10, 20, 30, 40};
    EXPECT_DOUBLE_EQ(bench::percentile(v, 0.0), 10);
    EXPECT_DOUBLE_EQ(bench::percentile(v, 0.5), 25);
    EXPECT_DOUBLE_EQ(bench::percentile(v, 0.9), 37);
    EXPECT_DOUBLE_EQ(bench::percentile(v, 1.0), 40);
}

TEST(Plan, OptionsAndCommandsInTurn) {
    const std::vector<std::string> args{"-n",     "1000", "-w",    "0",  "-i",      "cmd.txt", "-o",
                                        "out",    "-e",   "A=1",   "-e", "B=",      "--cmd",   "ours",
                                        "/bin/q", "x",    "--cmd", "nc", "/bin/nc", "-N"};
    bench::run_plan plan;
    ASSERT_EQ(bench::parse_plan(args, plan), "");
    EXPECT_EQ(plan.runs, 1000u);
    EXPECT_EQ(plan.warmup, 0u);
    EXPECT_EQ(plan.stdin_path, "cmd.txt");
    EXPECT_EQ(plan.stdout_path, "out");
    EXPECT_EQ(plan.env, (std::vector<std::string>{"A=1", "B="}));
    ASSERT_EQ(plan.commands.size(), 2u);
    EXPECT_EQ(plan.commands[0].name, "ours");
    EXPECT_EQ(plan.commands[0].argv, (std::vector<std::string>{"/bin/q", "x"}));
    EXPECT_EQ(plan.commands[1].name, "nc");
    EXPECT_EQ(plan.commands[1].argv, (std::vector<std::string>{"/bin/nc", "-N"}));
}

TEST(Plan, RefusesWhatWouldMeasureNothing) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{}, "nothing to run: give at least one --cmd NAME PROG"},
        {{"-n", "0", "--cmd", "a", "/bin/true"}, "-n needs a positive number, not 0"},
        {{"-n", "12x", "--cmd", "a", "/bin/true"}, "-n needs a positive number, not 12x"},
        {{"-w", "-1", "--cmd", "a", "/bin/true"}, "-w needs a number, not -1"},
        {{"-n"}, "-n needs a value"},
        {{"-x", "1", "--cmd", "a", "/bin/true"}, "unknown option -x"},
        {{"--cmd", "a"}, "--cmd needs a name and a program"},
        {{"--cmd", "a,b", "/bin/true"}, "bad command name 'a,b'"},
        {{"-e", "NOVALUE", "--cmd", "a", "/bin/true"}, "-e needs NAME=VALUE, not NOVALUE"},
        {{"-e", "=1", "--cmd", "a", "/bin/true"}, "-e needs NAME=VALUE, not =1"},
    };
    for (const auto &[args, expected] : cases) {
        bench::run_plan plan;
        EXPECT_EQ(bench::parse_plan(args, plan), expected) << "args: " << args.size();
    }
}

TEST(ReplyServer, CommandChoosesTheSize) {
    EXPECT_EQ(bench::reply_size_for("1048576", 600), 1048576u);
    EXPECT_EQ(bench::reply_size_for("0", 600), 0u);
    EXPECT_EQ(bench::reply_size_for("summary", 600), 600u);
    EXPECT_EQ(bench::reply_size_for("", 600), 600u);
    EXPECT_EQ(bench::reply_size_for("12 ", 600), 600u);
    EXPECT_EQ(bench::reply_size_for("-5", 600), 600u);
    EXPECT_EQ(bench::reply_size_for("99999999999999999999999", 600), 600u);
    EXPECT_EQ(bench::reply_size_for("99999999999", 600), bench::max_reply_bytes);
}

TEST(ReplyServer, TextIsLinesWithoutNulWhereverItStarts) {
    std::string whole(300, '?');
    bench::fill_reply(whole, 0);
    EXPECT_EQ(whole.substr(0, 64), "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz=\n");
    EXPECT_EQ(whole.find('\0'), std::string::npos);
    for (std::uint64_t at : {1u, 63u, 64u, 100u, 257u}) {
        std::string part(300 - at, '?');
        bench::fill_reply(part, at);
        EXPECT_EQ(part, whole.substr(at)) << "from " << at;
    }
}

// A client of the reply server: sends command (when not empty), optionally closes its sending side, and
// reads until the server closes.
std::string query(std::uint16_t port, const std::string &command, bool shut_write) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return "connect failed";
    }
    if (!command.empty()) {
        EXPECT_EQ(send(fd, command.data(), command.size(), 0), ssize_t(command.size()));
    }
    if (shut_write) shutdown(fd, SHUT_WR);
    std::string reply;
    char buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;)
        reply.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return reply;
}

std::string expected_reply(std::size_t size) {
    std::string text(size, '?');
    bench::fill_reply(text, 0);
    return text;
}

TEST(ReplyServer, ServesEachConnectionItsReplyThenCloses) {
    std::uint16_t port = 0;
    const int fd = bench::listen_loopback(0, port);
    ASSERT_GE(fd, 0);
    ASSERT_NE(port, 0);

    struct exchange {
        std::string command;
        bool shut_write;
        std::size_t size;
    };
    // Sizes on both sides of the server's 1 MiB chunk, and the way each kind of client ends its command.
    const std::vector<exchange> exchanges{
        {"1000", false, 1000}, {"summary", true, 600},     {"", true, 600},
        {"0", false, 0},       {"3145777", true, 3145777}, {"1048576", false, 1048576},
    };
    for (const exchange &e : exchanges) {
        std::int64_t served = -2;
        std::thread server{[&] { served = bench::serve_one(fd, 600); }};
        const std::string reply = query(port, e.command, e.shut_write);
        server.join();
        EXPECT_EQ(served, std::int64_t(e.size)) << e.command;
        EXPECT_TRUE(reply == expected_reply(e.size)) << e.command << ": got " << reply.size() << " bytes";
    }
    close(fd);
}

TEST(ReplyServer, AClientThatLeavesEarlyDoesNotStopTheNext) {
    std::uint16_t port = 0;
    const int fd = bench::listen_loopback(0, port);
    ASSERT_GE(fd, 0);

    std::int64_t served = -2;
    std::thread server{[&] { served = bench::serve_one(fd, 600); }};
    {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(c, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(send(c, "100000000", 9, 0), 9);
        close(c);
    }
    server.join();
    EXPECT_GE(served, 0);
    EXPECT_LT(served, 100000000);

    std::thread next{[&] { served = bench::serve_one(fd, 600); }};
    EXPECT_EQ(query(port, "70", false), expected_reply(70));
    next.join();
    close(fd);
}

TEST(Yardstick, HoldingAndStreamingFetchTheSameReply) {
    std::uint16_t port = 0;
    const int fd = bench::listen_loopback(0, port);
    ASSERT_GE(fd, 0);
    temp_dir dir;

    struct fetch {
        bench::reply_handling how;
        std::uint64_t size;
        std::uint64_t hint;
        std::int64_t result;
    };
    const std::vector<fetch> fetches{
        {bench::reply_handling::stream, 0, 0, 0},
        {bench::reply_handling::stream, 200000, 200000, 200000},
        {bench::reply_handling::hold, 0, 0, 0},
        {bench::reply_handling::hold, 65535, 65535, 65535},
        {bench::reply_handling::hold, 200000, 200000, 200000},
        {bench::reply_handling::hold, 200000, 300000, 200000},
        {bench::reply_handling::hold, 200000, 199999, -1},
        {bench::reply_handling::grow, 0, 0, 0},
        {bench::reply_handling::grow, 65535, 0, 65535},
        {bench::reply_handling::grow, 200000, 0, 200000},
    };
    for (const fetch &f : fetches) {
        const std::string label = std::to_string(static_cast<int>(f.how)) + " " + std::to_string(f.size) +
                                  " hint " + std::to_string(f.hint);
        const std::string out = dir.file("out");
        const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(out_fd, 0);
        std::thread server{[&] { bench::serve_one(fd, 600); }};
        EXPECT_EQ(bench::fetch_reply(port, std::to_string(f.size), f.hint, f.how, out_fd), f.result) << label;
        server.join();
        ::close(out_fd);
        if (f.result >= 0)
            EXPECT_TRUE(read_file(out) == expected_reply(f.size)) << label;
        else
            EXPECT_EQ(read_file(out), "") << label;
    }
    close(fd);
}

TEST(YardstickTool, RefusesBadArguments) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{{},
                                                                                      {"keep", "4028", "10"},
                                                                                      {"hold", "0", "10"},
                                                                                      {"hold", "70000", "10"},
                                                                                      {"stream", "4028", "x"},
                                                                                      {"stream", "4028"}}) {
        std::vector<std::string> argv{tool("yardstick")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run_program(argv);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.err, "usage: yardstick hold|grow|stream PORT SIZE\n");
    }
}

TEST(RunOnce, StatusInputAndOutputOfTheChild) {
    temp_dir dir;
    write_file(dir.file("in"), "hello\n");
    bench::sample s;
    std::string why;

    ASSERT_TRUE(
        bench::run_once({"/bin/sh", "-c", "tr a-z A-Z; exit 3"}, dir.file("in"), dir.file("out"), s, why))
        << why;
    EXPECT_EQ(bench::describe_status(s.status), "exit 3");
    EXPECT_EQ(read_file(dir.file("out")), "HELLO\n");

    setenv("BENCH_TEST_KEPT", "kept", 1);
    setenv("BENCH_TEST_REPLACED", "old", 1);
    ASSERT_TRUE(bench::run_once(
        {"/bin/sh", "-c", "echo $BENCH_TEST_KEPT $BENCH_TEST_REPLACED $BENCH_TEST_NEW"}, "/dev/null",
        dir.file("env"), s, why, {"BENCH_TEST_REPLACED=new", "BENCH_TEST_NEW=x"}))
        << why;
    EXPECT_EQ(read_file(dir.file("env")), "kept new x\n");

    ASSERT_TRUE(bench::run_once({"/bin/sh", "-c", "kill -9 $$"}, "/dev/null", "/dev/null", s, why)) << why;
    EXPECT_EQ(bench::describe_status(s.status), "signal 9");

    EXPECT_FALSE(bench::run_once({dir.file("missing")}, "/dev/null", "/dev/null", s, why));
    EXPECT_EQ(why, "cannot start " + dir.file("missing") + ": No such file or directory");
    EXPECT_FALSE(bench::run_once({"/bin/true"}, dir.file("no-input"), "/dev/null", s, why));
    EXPECT_EQ(why, "cannot start /bin/true: No such file or directory");
}

TEST(RunOnce, PeakMemoryIsTheChildsOwn) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's shadow memory is copied into every forked child";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the sanitizer's shadow memory is copied into every forked child";
#endif
#endif
    // The child is forked, so it starts from a copy of the measurer's written pages; the measurer stays far
    // smaller than what is measured. (A child sharing the measurer's memory until exec, as posix_spawn does,
    // would report the whole test process instead.)
    bench::sample small;
    std::string why;
    ASSERT_TRUE(bench::run_once({"/bin/true"}, "/dev/null", "/dev/null", small, why)) << why;
    // In a cross build the measurer is the emulator running this test, and the forked child starts as
    // large as the emulator is.
    long measurer_kib = 0;
    if (!testsupport::emulator().empty()) {
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        measurer_kib = self.ru_maxrss;
    }
    EXPECT_LT(small.maxrss_kib, measurer_kib + 3L * 1024);

    bench::sample big;
    ASSERT_TRUE(bench::run_once({"/bin/dd", "if=/dev/zero", "of=/dev/null", "bs=32M", "count=1"}, "/dev/null",
                                "/dev/null", big, why))
        << why;
    EXPECT_GE(big.maxrss_kib, 32 * 1024);
    EXPECT_LT(big.maxrss_kib, 40 * 1024);
    EXPECT_GT(big.wall_ns, 0);
}

TEST(BenchRunTool, OneCsvLinePerCommandAfterTheHeader) {
    const auto r = run_program({tool("bench_run"), "-n", "3", "-w", "1", "--cmd", "t", "/bin/true", "--cmd",
                                "echo", "/bin/echo", "x"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto lines = split_lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], bench::csv_header());
    EXPECT_EQ(lines[1].rfind("t,3,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("echo,3,", 0), 0u) << lines[2];
    EXPECT_EQ(std::count(lines[1].begin(), lines[1].end(), ','), 13);
}

TEST(BenchRunTool, AFailedRunIsAnErrorNotAFigure) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"-n", "2", "--cmd", "t", "/bin/true", "--cmd", "f", "/bin/false"},
         "bench_run: f: run 1 ended with exit 1\n"},
        {{"-w", "0", "--cmd", "m", "/nonexistent/prog"},
         "bench_run: m: cannot start /nonexistent/prog: No such file or directory\n"},
    };
    for (const auto &[args, message] : cases) {
        std::vector<std::string> argv{tool("bench_run")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run_program(argv);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, message);
    }
    const auto usage = run_program({tool("bench_run"), "-n"});
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(split_lines(usage.err).front(), "bench_run: -n needs a value");
}

TEST(ReplyServerTool, RefusesBadOptions) {
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--port", "70000"}, {"--port"}, {"--size", "x"}, {"--size", "99999999999"}, {"--fast", "1"}}) {
        std::vector<std::string> argv{tool("reply_server")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run_program(argv);
        EXPECT_EQ(r.exit_code, 2) << args[0];
        EXPECT_EQ(r.err, "usage: reply_server [--port N] [--size BYTES]\n");
    }
}

} // namespace
