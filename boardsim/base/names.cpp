// The names of error numbers and signals as traces and recordings spell them. The C library's own
// look-ups of these (strerrorname_np, sigabbrev_np) are newer than the board's library.
#include "base/event.h"

#include <array>
#include <cerrno>
#include <csignal>

namespace boardsim::detail {

namespace {

struct named_number {
    int number;
    const char *name;
};

// The tables are laid out in columns.
// clang-format off
#define BOARDSIM_NAMED(n) named_number{n, #n}

// One name per number, the one the C library gives (EAGAIN, not EWOULDBLOCK).
constexpr std::array errors{
    BOARDSIM_NAMED(EPERM),           BOARDSIM_NAMED(ENOENT),          BOARDSIM_NAMED(ESRCH),
    BOARDSIM_NAMED(EINTR),           BOARDSIM_NAMED(EIO),             BOARDSIM_NAMED(ENXIO),
    BOARDSIM_NAMED(E2BIG),           BOARDSIM_NAMED(ENOEXEC),         BOARDSIM_NAMED(EBADF),
    BOARDSIM_NAMED(ECHILD),          BOARDSIM_NAMED(EAGAIN),          BOARDSIM_NAMED(ENOMEM),
    BOARDSIM_NAMED(EACCES),          BOARDSIM_NAMED(EFAULT),          BOARDSIM_NAMED(ENOTBLK),
    BOARDSIM_NAMED(EBUSY),           BOARDSIM_NAMED(EEXIST),          BOARDSIM_NAMED(EXDEV),
    BOARDSIM_NAMED(ENODEV),          BOARDSIM_NAMED(ENOTDIR),         BOARDSIM_NAMED(EISDIR),
    BOARDSIM_NAMED(EINVAL),          BOARDSIM_NAMED(ENFILE),          BOARDSIM_NAMED(EMFILE),
    BOARDSIM_NAMED(ENOTTY),          BOARDSIM_NAMED(ETXTBSY),         BOARDSIM_NAMED(EFBIG),
    BOARDSIM_NAMED(ENOSPC),          BOARDSIM_NAMED(ESPIPE),          BOARDSIM_NAMED(EROFS),
    BOARDSIM_NAMED(EMLINK),          BOARDSIM_NAMED(EPIPE),           BOARDSIM_NAMED(EDOM),
    BOARDSIM_NAMED(ERANGE),          BOARDSIM_NAMED(EDEADLK),         BOARDSIM_NAMED(ENAMETOOLONG),
    BOARDSIM_NAMED(ENOLCK),          BOARDSIM_NAMED(ENOSYS),          BOARDSIM_NAMED(ENOTEMPTY),
    BOARDSIM_NAMED(ELOOP),           BOARDSIM_NAMED(ENOMSG),          BOARDSIM_NAMED(EIDRM),
    BOARDSIM_NAMED(ECHRNG),          BOARDSIM_NAMED(EL2NSYNC),        BOARDSIM_NAMED(EL3HLT),
    BOARDSIM_NAMED(EL3RST),          BOARDSIM_NAMED(ELNRNG),          BOARDSIM_NAMED(EUNATCH),
    BOARDSIM_NAMED(ENOCSI),          BOARDSIM_NAMED(EL2HLT),          BOARDSIM_NAMED(EBADE),
    BOARDSIM_NAMED(EBADR),           BOARDSIM_NAMED(EXFULL),          BOARDSIM_NAMED(ENOANO),
    BOARDSIM_NAMED(EBADRQC),         BOARDSIM_NAMED(EBADSLT),         BOARDSIM_NAMED(EBFONT),
    BOARDSIM_NAMED(ENOSTR),          BOARDSIM_NAMED(ENODATA),         BOARDSIM_NAMED(ETIME),
    BOARDSIM_NAMED(ENOSR),           BOARDSIM_NAMED(ENONET),          BOARDSIM_NAMED(ENOPKG),
    BOARDSIM_NAMED(EREMOTE),         BOARDSIM_NAMED(ENOLINK),         BOARDSIM_NAMED(EADV),
    BOARDSIM_NAMED(ESRMNT),          BOARDSIM_NAMED(ECOMM),           BOARDSIM_NAMED(EPROTO),
    BOARDSIM_NAMED(EMULTIHOP),       BOARDSIM_NAMED(EDOTDOT),         BOARDSIM_NAMED(EBADMSG),
    BOARDSIM_NAMED(EOVERFLOW),       BOARDSIM_NAMED(ENOTUNIQ),        BOARDSIM_NAMED(EBADFD),
    BOARDSIM_NAMED(EREMCHG),         BOARDSIM_NAMED(ELIBACC),         BOARDSIM_NAMED(ELIBBAD),
    BOARDSIM_NAMED(ELIBSCN),         BOARDSIM_NAMED(ELIBMAX),         BOARDSIM_NAMED(ELIBEXEC),
    BOARDSIM_NAMED(EILSEQ),          BOARDSIM_NAMED(ERESTART),        BOARDSIM_NAMED(ESTRPIPE),
    BOARDSIM_NAMED(EUSERS),          BOARDSIM_NAMED(ENOTSOCK),        BOARDSIM_NAMED(EDESTADDRREQ),
    BOARDSIM_NAMED(EMSGSIZE),        BOARDSIM_NAMED(EPROTOTYPE),      BOARDSIM_NAMED(ENOPROTOOPT),
    BOARDSIM_NAMED(EPROTONOSUPPORT), BOARDSIM_NAMED(ESOCKTNOSUPPORT), BOARDSIM_NAMED(EOPNOTSUPP),
    BOARDSIM_NAMED(EPFNOSUPPORT),    BOARDSIM_NAMED(EAFNOSUPPORT),    BOARDSIM_NAMED(EADDRINUSE),
    BOARDSIM_NAMED(EADDRNOTAVAIL),   BOARDSIM_NAMED(ENETDOWN),        BOARDSIM_NAMED(ENETUNREACH),
    BOARDSIM_NAMED(ENETRESET),       BOARDSIM_NAMED(ECONNABORTED),    BOARDSIM_NAMED(ECONNRESET),
    BOARDSIM_NAMED(ENOBUFS),         BOARDSIM_NAMED(EISCONN),         BOARDSIM_NAMED(ENOTCONN),
    BOARDSIM_NAMED(ESHUTDOWN),       BOARDSIM_NAMED(ETOOMANYREFS),    BOARDSIM_NAMED(ETIMEDOUT),
    BOARDSIM_NAMED(ECONNREFUSED),    BOARDSIM_NAMED(EHOSTDOWN),       BOARDSIM_NAMED(EHOSTUNREACH),
    BOARDSIM_NAMED(EALREADY),        BOARDSIM_NAMED(EINPROGRESS),     BOARDSIM_NAMED(ESTALE),
    BOARDSIM_NAMED(EUCLEAN),         BOARDSIM_NAMED(ENOTNAM),         BOARDSIM_NAMED(ENAVAIL),
    BOARDSIM_NAMED(EISNAM),          BOARDSIM_NAMED(EREMOTEIO),       BOARDSIM_NAMED(EDQUOT),
    BOARDSIM_NAMED(ENOMEDIUM),       BOARDSIM_NAMED(EMEDIUMTYPE),     BOARDSIM_NAMED(ECANCELED),
    BOARDSIM_NAMED(ENOKEY),          BOARDSIM_NAMED(EKEYEXPIRED),     BOARDSIM_NAMED(EKEYREVOKED),
    BOARDSIM_NAMED(EKEYREJECTED),    BOARDSIM_NAMED(EOWNERDEAD),      BOARDSIM_NAMED(ENOTRECOVERABLE),
    BOARDSIM_NAMED(ERFKILL),         BOARDSIM_NAMED(EHWPOISON),
};

// The signals that can end or interrupt a run: those whose default action ends a program. Those that
// stop or continue one (SIGSTOP, SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT) and those that do nothing by
// default (SIGCHLD, SIGURG, SIGWINCH) have no place in a trace.
constexpr std::array signals{
    BOARDSIM_NAMED(SIGHUP),  BOARDSIM_NAMED(SIGINT),    BOARDSIM_NAMED(SIGQUIT), BOARDSIM_NAMED(SIGILL),
    BOARDSIM_NAMED(SIGTRAP), BOARDSIM_NAMED(SIGABRT),   BOARDSIM_NAMED(SIGBUS),  BOARDSIM_NAMED(SIGFPE),
    BOARDSIM_NAMED(SIGKILL), BOARDSIM_NAMED(SIGUSR1),   BOARDSIM_NAMED(SIGSEGV), BOARDSIM_NAMED(SIGUSR2),
    BOARDSIM_NAMED(SIGPIPE), BOARDSIM_NAMED(SIGALRM),   BOARDSIM_NAMED(SIGTERM), BOARDSIM_NAMED(SIGSTKFLT),
    BOARDSIM_NAMED(SIGXCPU), BOARDSIM_NAMED(SIGXFSZ),   BOARDSIM_NAMED(SIGVTALRM), BOARDSIM_NAMED(SIGPROF),
    BOARDSIM_NAMED(SIGPOLL), BOARDSIM_NAMED(SIGPWR),    BOARDSIM_NAMED(SIGSYS),
};
// clang-format on

#undef BOARDSIM_NAMED

template <std::size_t N> const char *name_of(const std::array<named_number, N> &table, int number) {
    for (const named_number &entry : table)
        if (entry.number == number) return entry.name;
    return nullptr;
}

template <std::size_t N> int number_of(const std::array<named_number, N> &table, std::string_view name) {
    for (const named_number &entry : table)
        if (name == entry.name) return entry.number;
    return 0;
}

} // namespace

const char *error_name_of(int error) {
    return name_of(errors, error);
}
int error_number(std::string_view name) {
    return number_of(errors, name);
}
const char *signal_name(int sig) {
    return name_of(signals, sig);
}
int signal_number(std::string_view name) {
    return number_of(signals, name);
}

} // namespace boardsim::detail
