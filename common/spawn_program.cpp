#include "spawn_program.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <libc_baseline.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

BOARD_LIBC_OLDEST(fcntl);

namespace {

// Between fork and exec: only calls that are safe there. Returns the errno that stops the start.
int prepare_child(const spawn_settings &s, pid_t parent) {
    if (s.own_group && ::setpgid(0, 0) != 0) return errno;
    if (s.parent_death_signal != 0) {
        if (::prctl(PR_SET_PDEATHSIG, s.parent_death_signal) != 0) return errno;
        // The caller died before the line above: its signal will never come.
        if (::getppid() != parent) return ESRCH;
    }
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) ::signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int target = 0; target < 3; ++target) {
        const int fd = s.streams[static_cast<std::size_t>(target)];
        if (fd < 0) continue;
        if ((fd == target ? ::fcntl(fd, F_SETFD, 0) : ::dup2(fd, target)) < 0) return errno;
    }
    for (const int fd : s.handed)
        if (::fcntl(fd, F_SETFD, 0) != 0) return errno;
    return 0;
}

} // namespace

pid_t spawn_program(const spawn_settings &s, int &error) {
    // pipe and fcntl rather than pipe2: the recorder runs on C libraries older than pipe2.
    int report[2];
    if (::pipe(report) != 0) {
        error = errno;
        return -1;
    }
    for (const int fd : report)
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(report[0]);
        int failed = prepare_child(s, parent);
        if (failed == 0) {
            ::execve(s.argv[0], const_cast<char *const *>(s.argv),
                     const_cast<char *const *>(s.envp != nullptr ? s.envp : environ));
            failed = errno;
        }
        [[maybe_unused]] const ssize_t n = ::write(report[1], &failed, sizeof failed);
        ::_exit(127);
    }
    error = errno;
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return -1;
    }
    // Here as well as in the child, so that the group exists whichever of the two runs first.
    if (s.own_group) ::setpgid(pid, pid);
    int failed = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &failed, sizeof failed)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (got != static_cast<ssize_t>(sizeof failed)) return pid;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    error = failed;
    return -1;
}
