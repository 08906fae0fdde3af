// A watchdog feeder for the runner's tests: opens the device and keeps it fed once a second, forever.
// With an argument N, the operator presses Ctrl-C at the Nth keep-alive: SIGINT to the runner (the
// parent) and the feeder alike, as a terminal sends it to the whole foreground group.
#include "board_requests.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv) {
    const long interrupt_at = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
    const int fd = ::open("/dev/watchdog0", O_WRONLY);
    if (fd < 0) return 1;
    for (long n = 1;; ++n) {
        int zero = 0;
        ::ioctl(fd, board_request::wdioc_keepalive, &zero);
        if (n == interrupt_at) {
            ::kill(::getppid(), SIGINT);
            ::raise(SIGINT);
        }
        ::sleep(1);
    }
}
