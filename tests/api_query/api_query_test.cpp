// api_query through the real binary against loopback servers that the cases start.
#include "loopback_server.h"
#include "run.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <ostream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using apitest::loopback_server;
using apitest::peer_end;
using apitest::peer_script;
using namespace std::string_literals;

constexpr std::uint16_t default_port = 4028;

// What one run left behind: the program's exit and output, and what the server got from it.
struct outcome {
    int exit_code = -1;
    std::string out;
    std::string err;
    std::optional<std::string> sent; // nothing when the client never connected
    bool operator==(const outcome &) const = default;
};

std::string shown(const std::string &bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size() && i < 160; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            text += esc;
        }
    }
    if (bytes.size() > 160) text += "... (" + std::to_string(bytes.size()) + " bytes)";
    return '"' + text + '"';
}

[[maybe_unused]] void PrintTo(const outcome &o, std::ostream *os) {
    *os << "{exit " << o.exit_code << ", out " << shown(o.out) << ", err " << shown(o.err) << ", sent "
        << (o.sent ? shown(*o.sent) : "(no connection)"s) << "}";
}

outcome query(loopback_server &server, const std::vector<std::string> &args,
              const std::vector<std::string> &env = {}) {
    std::vector<std::string> argv{testsupport::bin_path("api_query")};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::run_options options;
    options.env = env;
    options.timeout_seconds = 30;
    const testsupport::run_result run = testsupport::run_program(argv, options);
    return outcome{run.exit_code, run.out, run.err, server.finish()};
}

std::string port_text(const loopback_server &server) {
    return std::to_string(server.port());
}

// Lines of letters, each byte's place recognisable, so that lost or repeated pieces show.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = i % 61 == 60 ? '\n' : static_cast<char>('A' + i * 7 % 58);
    return bytes;
}

std::string usage_line() {
    return "usAge: " + testsupport::bin_path("api_query") + " [command [ip/host [port]]]\n";
}

std::string error_text(int error) {
    return std::strerror(error);
}

// The socket calls through the connect to address: the socket, the connect's bound, the connect.
std::string connect_trace(const std::string &address) {
    return "socket 2 1 0\nsetsockopt SO_SNDTIMEO 60.000000\nconnect " + address + " 16\n";
}

// The socket calls of an exchange with the server at port that sends command: the connect's bound
// lifted once connected, one send, the reply's bound.
std::string exchange_trace(const std::string &port, const std::string &command) {
    return connect_trace("127.0.0.1:" + port) + "setsockopt SO_SNDTIMEO 0.000000\nsend " +
           std::to_string(command.size()) + " 0\nsetsockopt SO_RCVTIMEO 60.000000\n";
}

// The cases that rely on the fixed port 4028 share one server port and so run in one case.
struct default_port_case {
    const char *name;
    std::vector<std::string> args;
    outcome expected;
};

TEST(ApiQueryDefaults, CommandHostAndPortFallBackAndHelpIsAnsweredLocally) {
    const outcome answered{0, "fine\n", "", "summary"};
    const std::vector<default_port_case> cases{
        {"no arguments", {}, answered},
        {"empty command", {""}, answered},
        {"blank command", {" \t\n "}, answered},
        {"command only", {"devs"}, {0, "fine\n", "", "devs"}},
        {"empty host", {"devs", ""}, {0, "fine\n", "", "devs"}},
        {"blank host", {"devs", "  "}, {0, "fine\n", "", "devs"}},
        {"empty port", {"devs", "127.0.0.1", ""}, {0, "fine\n", "", "devs"}},
        {"blank port", {"devs", "127.0.0.1", " \t"}, {0, "fine\n", "", "devs"}},
        {"all empty", {"", "", ""}, answered},
        {"port with trailing text", {"devs", "127.0.0.1", "4028x"}, {0, "fine\n", "", "devs"}},
        {"port with blanks", {"devs", " 127.0.0.1 ", " 4028 9"}, {0, "fine\n", "", "devs"}},
        {"arguments after the third", {"devs", "", "", "-h", "1"}, {0, "fine\n", "", "devs"}},
        {"help -h", {"-h"}, {1, "", usage_line(), std::nullopt}},
        {"help -?", {"-?"}, {1, "", usage_line(), std::nullopt}},
        {"help --help", {"--help"}, {1, "", usage_line(), std::nullopt}},
        {"help with more arguments", {"-h", "127.0.0.1", "1"}, {1, "", usage_line(), std::nullopt}},
        {"help only as the first argument", {"summary", "", "", "--help"}, answered},
        {"blank before -h", {" -h"}, {0, "fine\n", "", "-h"}},
        {"blank after -h", {"-h "}, {0, "fine\n", "", "-h"}},
        {"upper-case H", {"-H"}, {0, "fine\n", "", "-H"}},
        {"-help", {"-help"}, {0, "fine\n", "", "-help"}},
        {"--help with a blank", {"--help "}, {0, "fine\n", "", "--help"}},
        {"lone dash", {"-"}, {0, "fine\n", "", "-"}},
    };
    for (const default_port_case &c : cases) {
        loopback_server server{{"fine"}, default_port};
        if (!server.bound()) GTEST_SKIP() << "port 4028 is in use on this machine";
        EXPECT_EQ(query(server, c.args), c.expected) << c.name;
    }
}

struct command_case {
    const char *name;
    std::string arg;
    std::string sent;
};

TEST(ApiQueryCommand, OnlyTheFirstWordGoesOutWithoutNulOrLineEnd) {
    const std::vector<command_case> cases{
        {"plain word", "version", "version"},
        {"blanks around", "  version \t", "version"},
        {"two words", "version devs", "version"},
        {"word after line breaks", "\r\n\vpools\f", "pools"},
        {"punctuation kept", "stats|0,1", "stats|0,1"},
        {"bytes above 127 are no white space", "\xa0z\xff", "\xa0z\xff"},
    };
    for (const command_case &c : cases) {
        loopback_server server{{"ok"}};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(query(server, {c.arg, "127.0.0.1", port_text(server)}), (outcome{0, "ok\n", "", c.sent}))
            << c.name;
    }
}

TEST(ApiQueryCommand, TraceShowsOneSendOfTheBytesAndNoShutdown) {
    testsupport::temp_dir dir;
    loopback_server server{{"ok"}};
    ASSERT_TRUE(server.bound());
    const outcome got = query(server, {"summary", "127.0.0.1", port_text(server)},
                              {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_TRACE=" + dir.file("trace")});
    EXPECT_EQ(got, (outcome{0, "ok\n", "", "summary"}));
    EXPECT_EQ(testsupport::read_file(dir.file("trace")), exchange_trace(port_text(server), "summary"));
}

TEST(ApiQueryAddress, PortIsCutToItsLow16Bits) {
    int port = 0;
    {
        loopback_server probe{{""}};
        ASSERT_TRUE(probe.bound());
        port = probe.port();
    }
    const std::vector<std::string> texts{std::to_string(port + 65536), std::to_string(port - 65536),
                                         std::to_string(port + 3 * 65536) + "x", "+" + std::to_string(port)};
    for (const std::string &text : texts) {
        loopback_server server{{"ok"}, static_cast<std::uint16_t>(port)};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(query(server, {"devs", "127.0.0.1", text}), (outcome{0, "ok\n", "", "devs"})) << text;
    }
}

TEST(ApiQueryAddress, FixedPortsOfTheWrappingExamples) {
    const std::vector<std::pair<std::string, std::uint16_t>> cases{{"70000", 4464}, {"-1", 65535}};
    for (const auto &[text, port] : cases) {
        loopback_server server{{"ok"}, port};
        if (!server.bound()) {
            std::printf("port %u is in use, case %s skipped\n", port, text.c_str());
            continue;
        }
        EXPECT_EQ(query(server, {"devs", "127.0.0.1", text}), (outcome{0, "ok\n", "", "devs"})) << text;
    }
}

TEST(ApiQueryAddress, HostTakesEveryFormInetAddrReads) {
    for (const std::string host :
         {"127.0.0.1", "127.1", "0x7f.1", "0177.0.0.1", "2130706433", "\t127.0.0.1 x"}) {
        loopback_server server{{"ok"}};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(query(server, {"devs", host, port_text(server)}), (outcome{0, "ok\n", "", "devs"})) << host;
    }
}

struct failed_connect_case {
    const char *name;
    std::vector<std::string> args;
    std::string address;
    std::string out;
};

TEST(ApiQueryAddress, ConnectFailuresAreReportedOnStandardOutput) {
    // Bound but not listening: the port stays ours and refuses.
    loopback_server unused{{""}};
    ASSERT_TRUE(unused.bound());
    const int closed = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(closed, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(closed);
        FAIL() << "cannot bind a loopback port";
    }
    socklen_t len = sizeof addr;
    ::getsockname(closed, reinterpret_cast<sockaddr *>(&addr), &len);
    const std::string refused_port = std::to_string(ntohs(addr.sin_port));

    const std::string refused = "Socket connect failed: " + error_text(ECONNREFUSED) + "\n";
    const std::vector<failed_connect_case> cases{
        {"refused", {"devs", "127.0.0.1", refused_port}, "127.0.0.1:" + refused_port, refused},
        {"port without digits", {"devs", "127.0.0.1", "x4028"}, "127.0.0.1:0", refused},
        {"host of letters is not looked up",
         {"devs", "localhost", refused_port},
         "255.255.255.255:" + refused_port,
         "Socket connect failed: " + error_text(ENETUNREACH) + "\n"},
    };
    for (const failed_connect_case &c : cases) {
        testsupport::temp_dir dir;
        const outcome got =
            query(unused, c.args, {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_TRACE=" + dir.file("trace")});
        EXPECT_EQ(got, (outcome{1, c.out, "", std::nullopt})) << c.name;
        EXPECT_EQ(testsupport::read_file(dir.file("trace")), connect_trace(c.address)) << c.name;
    }
    ::close(closed);
}

struct reply_case {
    const char *name;
    peer_script script;
    outcome expected;
};

TEST(ApiQueryReply, PrintedWholeUpToItsFirstNulWithOneLineEnd) {
    const std::vector<reply_case> cases{
        {"closed without a reply", {""}, {0, "\n", "", "summary"}},
        {"one line", {"status=ok"}, {0, "status=ok\n", "", "summary"}},
        {"several lines", {"a\nb\n"}, {0, "a\nb\n\n", "", "summary"}},
        {"NUL inside", {"before\0after"s}, {0, "before\n", "", "summary"}},
        {"NUL first", {"\0after"s}, {0, "\n", "", "summary"}},
        {"one byte below the first limit", {pattern(65534)}, {0, pattern(65534) + "\n", "", "summary"}},
        {"exactly the first limit", {pattern(65535)}, {0, pattern(65535) + "\n", "", "summary"}},
        {"one byte over the first limit", {pattern(65536)}, {0, pattern(65536) + "\n", "", "summary"}},
        {"exactly the second limit", {pattern(131070)}, {0, pattern(131070) + "\n", "", "summary"}},
        {"several megabytes", {pattern(5'000'001)}, {0, pattern(5'000'001) + "\n", "", "summary"}},
    };
    for (const reply_case &c : cases) {
        loopback_server server{c.script};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(query(server, {"summary", "127.0.0.1", port_text(server)}), c.expected) << c.name;
    }
}

// The reply's first NUL ends what is printed wherever it arrives: in the first, a middle or the last of
// the receives (4096 bytes at most each here), either side of a growth of the block, or before a
// failed receive. What is printed is what puts prints of the reply: the bytes before the first NUL and
// one line end.
TEST(ApiQueryReply, FirstNulEndsThePrintWhereverItArrives) {
    struct nul_case {
        const char *name;
        std::size_t size;
        std::vector<std::size_t> nuls;
        peer_end end = peer_end::close;
    };
    const std::vector<nul_case> cases{
        {"in the first receive", 100000, {10, 20}},
        {"in a middle receive, another after it", 100000, {50000, 50001, 90000}},
        {"in the last receive", 100000, {99999}},
        {"last byte before the first growth", 200000, {65534}},
        {"first byte after the first growth", 200000, {65535}},
        {"first byte after the second growth", 200000, {131070}},
        {"before a failed receive", 70000, {30000}, peer_end::reset},
    };
    for (const nul_case &c : cases) {
        std::string reply = pattern(c.size);
        for (const std::size_t at : c.nuls)
            reply[at] = '\0';
        loopback_server server{{reply, c.end}};
        ASSERT_TRUE(server.bound());
        const std::string failure =
            c.end == peer_end::reset ? "Recv failed: " + error_text(ECONNRESET) + "\n" : "";
        EXPECT_EQ(query(server, {"summary", "127.0.0.1", port_text(server)},
                        {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_RECV_MAX=4096"}),
                  (outcome{failure.empty() ? 0 : 1, failure + reply.substr(0, c.nuls.front()) + "\n", "",
                           "summary"}))
            << c.name;
    }
}

TEST(ApiQueryReply, ResetHalfwayPrintsTheMessageThenThePart) {
    for (const std::string &part : {""s, "partial reply"s, pattern(70000)}) {
        loopback_server server{{part, peer_end::reset}};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(query(server, {"summary", "127.0.0.1", port_text(server)}),
                  (outcome{1, "Recv failed: " + error_text(ECONNRESET) + "\n" + part + "\n", "", "summary"}))
            << part.size() << " bytes before the reset";
    }
}

// Each wait on the server ends at its bound, saying that it timed out: the connect to a server whose
// backlog is full, and the receive from one that accepted but is silent. The program asks for 60 s;
// the shim hands the kernel 200 ms, so each bound is reached at once.
TEST(ApiQueryBounds, EachWaitEndsAtItsBoundAsTimedOut) {
    const std::string connect_failed = "Socket connect failed: " + error_text(ETIMEDOUT) + "\n";
    const std::string recv_failed = "Recv failed: " + error_text(ETIMEDOUT) + "\n";
    const std::vector<reply_case> cases{
        {"connect, backlog full", {.reply = "", .backlog_full = true}, {1, connect_failed, "", std::nullopt}},
        {"receive, silent from the start", {"", peer_end::hold}, {1, recv_failed + "\n", "", "summary"}},
        {"receive, silent after a part",
         {"partial", peer_end::hold},
         {1, recv_failed + "partial\n", "", "summary"}},
        {"receive, silent after the block grew",
         {pattern(100000), peer_end::hold},
         {1, recv_failed + pattern(100000) + "\n", "", "summary"}},
    };
    for (const reply_case &c : cases) {
        testsupport::temp_dir dir;
        loopback_server server{c.script};
        ASSERT_TRUE(server.bound());
        const outcome got = query(server, {"summary", "127.0.0.1", port_text(server)},
                                  {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_SNDTIMEO_MS=200",
                                   "SHIM_RCVTIMEO_MS=200", "SHIM_TRACE=" + dir.file("trace")});
        EXPECT_EQ(got, c.expected) << c.name;
        const std::string trace = c.script.backlog_full ? connect_trace("127.0.0.1:" + port_text(server))
                                                        : exchange_trace(port_text(server), "summary");
        EXPECT_EQ(testsupport::read_file(dir.file("trace")), trace) << c.name;
    }
}

// The bound is on silence, not on the whole exchange: a reply that keeps coming outlasts it.
TEST(ApiQueryReply, IdleBoundCountsFromTheLastByte) {
    const std::vector<std::string> pieces(15, "piece;");
    loopback_server server{{"first;", peer_end::close, pieces, 100}};
    ASSERT_TRUE(server.bound());
    std::string whole = "first;";
    for (const std::string &piece : pieces)
        whole += piece;
    EXPECT_EQ(query(server, {"summary", "127.0.0.1", port_text(server)},
                    {"LD_PRELOAD=" API_QUERY_SHIM, "SHIM_RCVTIMEO_MS=1000"}),
              (outcome{0, whole + "\n", "", "summary"}));
}

// api_query with its standard output on a device that refuses every write; its exit status.
int exit_status_with_full_output(const std::vector<std::string> &args) {
    std::vector<std::string> argv = testsupport::with_emulator({testsupport::bin_path("api_query")});
    argv.insert(argv.end(), args.begin(), args.end());
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) return -1;
    testsupport::process program{argv, {.out = full}};
    ::close(full);
    const int status = program.wait();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ApiQueryReply, ReplyThatCannotBeWrittenOutIsAFailure) {
    for (const std::size_t size : {0, 10, 200000}) {
        loopback_server server{{pattern(size)}};
        ASSERT_TRUE(server.bound());
        EXPECT_EQ(exit_status_with_full_output({"summary", "127.0.0.1", port_text(server)}), 1) << size;
        EXPECT_EQ(server.finish(), "summary") << size;
    }
}

// In a sanitizer build the program's allocator is the sanitizer's own, inside the program, so a
// preloaded malloc or realloc never sees its allocations: allocation failures cannot be staged there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool allocator_interposable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool allocator_interposable = false;
#else
constexpr bool allocator_interposable = true;
#endif
#else
constexpr bool allocator_interposable = true;
#endif

struct fault_case {
    const char *name;
    std::string reply;
    std::vector<std::string> env;
    outcome expected;
};

TEST(ApiQueryFaults, EachFailureHasItsMessageAndStatus) {
    const std::vector<fault_case> cases{
        {"socket cannot be created",
         "ok",
         {"SHIM_FAIL_SOCKET=" + std::to_string(EMFILE)},
         {1, "Socket initialisation failed: " + error_text(EMFILE) + "\n", "", std::nullopt}},
        {"send fails",
         "ok",
         {"SHIM_FAIL_SEND=" + std::to_string(ECONNRESET)},
         {1, "Send failed: " + error_text(ECONNRESET) + "\n", "", ""}},
        {"first reply block",
         "ok",
         {"SHIM_FAIL_MALLOC_SIZE=65536"},
         {1, "Err: OOM (65536)\n", "", "summary"}},
        {"no growth below the first limit",
         pattern(65534),
         {"SHIM_FAIL_REALLOC_FROM=1"},
         {0, pattern(65534) + "\n", "", "summary"}},
        {"first growth fails, the part is not printed",
         pattern(65535),
         {"SHIM_FAIL_REALLOC_FROM=1"},
         {1, "Err: OOM (131071)\n", "", "summary"}},
        {"second growth",
         pattern(1'000'000),
         {"SHIM_FAIL_REALLOC_FROM=131072"},
         {1, "Err: OOM (196606)\n", "", "summary"}},
        {"third growth",
         pattern(1'000'000),
         {"SHIM_FAIL_REALLOC_FROM=196607"},
         {1, "Err: OOM (262141)\n", "", "summary"}},
    };
    for (const fault_case &c : cases) {
        if (!allocator_interposable && c.env.front().find("ALLOC") != std::string::npos) continue;
        loopback_server server{{c.reply}};
        ASSERT_TRUE(server.bound());
        std::vector<std::string> env{"LD_PRELOAD=" API_QUERY_SHIM};
        env.insert(env.end(), c.env.begin(), c.env.end());
        EXPECT_EQ(query(server, {"summary", "127.0.0.1", port_text(server)}, env), c.expected) << c.name;
    }
}

} // namespace
