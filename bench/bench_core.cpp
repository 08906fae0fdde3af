#include "bench_core.h"

#include "number.h"
#include "spawn_program.h"
#include "unique_fd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace bench {

namespace {

std::int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t to_ns(const timeval &tv) {
    return static_cast<std::int64_t>(tv.tv_sec) * 1000000000 + static_cast<std::int64_t>(tv.tv_usec) * 1000;
}

std::string format_double(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

constexpr std::size_t reply_line = 64;

// This process's environment with the EXTRA entries (NAME=value) in place of those of the same names,
// as a program's null-ended list.
std::vector<const char *> environment_with(const std::vector<std::string> &extra) {
    std::vector<const char *> env;
    for (char **e = environ; *e != nullptr; ++e) {
        const std::string_view entry{*e};
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string &x) {
            const std::size_t name = x.find('=') + 1;
            return entry.substr(0, name) == std::string_view{x}.substr(0, name);
        });
        if (!replaced) env.push_back(*e);
    }
    for (const std::string &x : extra)
        env.push_back(x.c_str());
    env.push_back(nullptr);
    return env;
}

// All of N bytes at P written to FD.
bool write_all(int fd, const char *p, std::size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<std::size_t>(put);
    }
    return true;
}

constexpr std::size_t reply_piece = 65535;

// A reply passed on to OUT_FD piece by piece as it comes; its length in COUNT. False when it breaks off.
bool stream_reply(int fd, int out_fd, std::size_t &count) {
    char *buf = static_cast<char *>(std::malloc(reply_piece));
    bool ok = buf != nullptr;
    while (ok) {
        const ssize_t got = recv(fd, buf, reply_piece, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        count += static_cast<std::size_t>(got);
        ok = write_all(out_fd, buf, static_cast<std::size_t>(got));
    }
    std::free(buf);
    return ok;
}

// A reply held whole, then written to OUT_FD: in one block of the hint's size and one spare byte (a reply
// longer than the hint shows as a block filled to the last byte), or in a block grown as api_query grows
// its own. Its length in COUNT; false when it breaks off or does not fit.
bool hold_reply(int fd, bool grow, std::uint64_t size_hint, int out_fd, std::size_t &count) {
    std::size_t limit = grow ? reply_piece : static_cast<std::size_t>(size_hint) + 1;
    char *block = static_cast<char *>(std::malloc(grow ? limit + 1 : limit));
    bool ok = block != nullptr;
    while (ok) {
        const ssize_t got = recv(fd, block + count, std::min(limit - count, reply_piece), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        count += static_cast<std::size_t>(got);
        if (count < limit) continue;
        char *grown = grow ? static_cast<char *>(std::realloc(block, limit + reply_piece + 1)) : nullptr;
        if (grown == nullptr) {
            ok = false;
            break;
        }
        block = grown;
        limit += reply_piece;
    }
    ok = ok && write_all(out_fd, block, count);
    std::free(block);
    return ok;
}

} // namespace

bool run_once(const std::vector<std::string> &argv, const std::string &stdin_path,
              const std::string &stdout_path, sample &out, std::string &why,
              const std::vector<std::string> &env) {
    if (argv.empty()) {
        why = "no program";
        return false;
    }
    std::vector<const char *> argv_c;
    argv_c.reserve(argv.size() + 1);
    for (const std::string &a : argv)
        argv_c.push_back(a.c_str());
    argv_c.push_back(nullptr);

    const std::vector<const char *> env_c = environment_with(env);

    // The program's standard streams, opened afresh for the run; a file that cannot be had stops the
    // program from starting.
    const auto cannot_start = [&](int error) {
        why = "cannot start " + argv[0] + ": " + std::strerror(error);
        return false;
    };
    const unique_fd in{::open(stdin_path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (!in.is_open()) return cannot_start(errno);
    const unique_fd outfd{::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (!outfd.is_open()) return cannot_start(errno);
    const unique_fd err{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
    if (!err.is_open()) return cannot_start(errno);
    const spawn_settings settings{
        .argv = argv_c.data(), .envp = env_c.data(), .streams = {in.get(), outfd.get(), err.get()}};

    // spawn_program forks, where posix_spawn would not: a child that shares our memory until exec would
    // inherit our peak resident size into its own ru_maxrss, and the memory figures are the point of
    // some of these runs.
    const std::int64_t start = now_ns();
    int error = 0;
    const pid_t pid = spawn_program(settings, error);
    if (pid < 0) return cannot_start(error);

    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0) {
        if (errno != EINTR) {
            why = std::string{"wait4: "} + std::strerror(errno);
            return false;
        }
    }
    const std::int64_t end = now_ns();
    out.wall_ns = end - start;
    out.user_ns = to_ns(usage.ru_utime);
    out.sys_ns = to_ns(usage.ru_stime);
    out.maxrss_kib = usage.ru_maxrss;
    out.status = status;
    return true;
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

double percentile(std::span<const double> sorted, double q) {
    if (sorted.size() == 1) return sorted[0];
    const double rank = std::clamp(q, 0.0, 1.0) * static_cast<double>(sorted.size() - 1);
    const auto lower = static_cast<std::size_t>(std::floor(rank));
    const std::size_t upper = std::min(lower + 1, sorted.size() - 1);
    const double fraction = rank - static_cast<double>(lower);
    return sorted[lower] + (sorted[upper] - sorted[lower]) * fraction;
}

summary summarize(std::span<const sample> samples) {
    summary s;
    s.runs = samples.size();
    if (samples.empty()) return s;

    std::vector<double> wall, cpu, user, sys, rss;
    for (const sample &x : samples) {
        wall.push_back(static_cast<double>(x.wall_ns) / 1000.0);
        cpu.push_back(static_cast<double>(x.user_ns + x.sys_ns) / 1000.0);
        user.push_back(static_cast<double>(x.user_ns) / 1000.0);
        sys.push_back(static_cast<double>(x.sys_ns) / 1000.0);
        rss.push_back(static_cast<double>(x.maxrss_kib));
    }
    for (auto *v : {&wall, &cpu, &user, &sys, &rss})
        std::sort(v->begin(), v->end());

    s.wall_min_us = wall.front();
    s.wall_p10_us = percentile(wall, 0.10);
    s.wall_median_us = percentile(wall, 0.50);
    s.wall_p90_us = percentile(wall, 0.90);
    s.wall_max_us = wall.back();
    s.cpu_p10_us = percentile(cpu, 0.10);
    s.cpu_median_us = percentile(cpu, 0.50);
    s.cpu_p90_us = percentile(cpu, 0.90);
    s.user_median_us = percentile(user, 0.50);
    s.sys_median_us = percentile(sys, 0.50);
    s.maxrss_median_kib = std::llround(percentile(rss, 0.50));
    s.maxrss_max_kib = std::llround(rss.back());
    return s;
}

std::string csv_header() {
    return "name,runs,wall_min_us,wall_p10_us,wall_median_us,wall_p90_us,wall_max_us,"
           "cpu_p10_us,cpu_median_us,cpu_p90_us,user_median_us,sys_median_us,maxrss_median_kib,maxrss_max_"
           "kib";
}

std::string csv_row(const std::string &name, const summary &s) {
    std::string row = name + "," + std::to_string(s.runs);
    for (double v : {s.wall_min_us, s.wall_p10_us, s.wall_median_us, s.wall_p90_us, s.wall_max_us,
                     s.cpu_p10_us, s.cpu_median_us, s.cpu_p90_us, s.user_median_us, s.sys_median_us})
        row.append(",").append(format_double(v));
    row.append(",").append(std::to_string(s.maxrss_median_kib));
    row.append(",").append(std::to_string(s.maxrss_max_kib));
    return row;
}

std::string parse_plan(std::span<const std::string> args, run_plan &plan) {
    auto count = [](const std::string &text, std::size_t &value) {
        const std::optional<std::size_t> parsed = parse_number<std::size_t>(text);
        if (parsed) value = *parsed;
        return parsed.has_value();
    };
    std::size_t i = 0;
    for (; i < args.size() && args[i] != "--cmd"; ++i) {
        const std::string &opt = args[i];
        if (i + 1 >= args.size()) return opt + " needs a value";
        const std::string &value = args[++i];
        if (opt == "-n") {
            if (!count(value, plan.runs) || plan.runs == 0) return "-n needs a positive number, not " + value;
        } else if (opt == "-w") {
            if (!count(value, plan.warmup)) return "-w needs a number, not " + value;
        } else if (opt == "-i") {
            plan.stdin_path = value;
        } else if (opt == "-o") {
            plan.stdout_path = value;
        } else if (opt == "-e") {
            if (value.find('=') == std::string::npos || value.front() == '=')
                return "-e needs NAME=VALUE, not " + value;
            plan.env.push_back(value);
        } else {
            return "unknown option " + opt;
        }
    }
    while (i < args.size()) {
        // args[i] is "--cmd"
        if (i + 2 >= args.size()) return "--cmd needs a name and a program";
        command c{args[i + 1], {}};
        for (i += 2; i < args.size() && args[i] != "--cmd"; ++i)
            c.argv.push_back(args[i]);
        if (c.name.empty() || c.name.find(',') != std::string::npos)
            return "bad command name '" + c.name + "'";
        plan.commands.push_back(std::move(c));
    }
    if (plan.commands.empty()) return "nothing to run: give at least one --cmd NAME PROG";
    return {};
}

std::uint64_t reply_size_for(std::string_view command, std::uint64_t default_size) {
    const std::optional<std::uint64_t> size = parse_number<std::uint64_t>(command);
    return size ? std::min(*size, max_reply_bytes) : default_size;
}

void fill_reply(std::span<char> out, std::uint64_t at) {
    static constexpr char alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz=";
    static_assert(sizeof alphabet - 1 == reply_line - 1);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t column = (at + i) % reply_line;
        out[i] = column == reply_line - 1 ? '\n' : alphabet[column];
    }
}

int listen_loopback(std::uint16_t port, std::uint16_t &bound) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        return -1;
    }
    bound = ntohs(addr.sin_port);
    return fd;
}

std::int64_t serve_one(int listen_fd, std::uint64_t default_size) {
    // One chunk of reply text, sent over and over; its length is a whole number of reply lines.
    static std::vector<char> chunk = [] {
        std::vector<char> c(1 << 20);
        fill_reply(c, 0);
        return c;
    }();

    int conn = -1;
    do {
        conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    } while (conn < 0 && errno == EINTR);
    if (conn < 0) return -1;

    char command[4096];
    ssize_t got = 0;
    do {
        got = recv(conn, command, sizeof command, 0);
    } while (got < 0 && errno == EINTR);
    const std::uint64_t size =
        reply_size_for(std::string_view{command, static_cast<std::size_t>(got > 0 ? got : 0)}, default_size);

    std::uint64_t sent = 0;
    while (sent < size) {
        // Start where the last send stopped, so that a short send keeps the text's line pattern.
        const std::size_t from = static_cast<std::size_t>(sent % chunk.size());
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(size - sent, chunk.size() - from));
        const ssize_t put = send(conn, chunk.data() + from, n, MSG_NOSIGNAL);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break; // the client went away; the next connection is what matters
        sent += static_cast<std::uint64_t>(put);
    }
    close(conn);
    return static_cast<std::int64_t>(sent);
}

std::int64_t fetch_reply(std::uint16_t port, std::string_view command, std::uint64_t size_hint,
                         reply_handling how, int out_fd) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        send(fd, command.data(), command.size(), 0) < 0) {
        close(fd);
        return -1;
    }

    std::size_t count = 0;
    const bool ok = how == reply_handling::stream
                        ? stream_reply(fd, out_fd, count)
                        : hold_reply(fd, how == reply_handling::grow, size_hint, out_fd, count);
    close(fd);
    return ok ? static_cast<std::int64_t>(count) : -1;
}

} // namespace bench
