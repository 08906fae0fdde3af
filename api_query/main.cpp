// api_query: sends one command to the board's status server over TCP and prints the whole reply.
//   api_query [command [ip/host [port]]]
#include "query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *default_command = "summary";
constexpr const char *default_host = "127.0.0.1";
constexpr std::uint16_t default_port = 4028;

// Looked at exactly as passed: " -h", "-H" and "-h " are commands, not help requests.
bool is_help_request(const char *arg) {
    return std::strcmp(arg, "-?") == 0 || std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0;
}

const char *or_default(const char *word, const char *fallback) {
    return *word == '\0' ? fallback : word;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return api_request(default_command, default_host, default_port);

    if (is_help_request(argv[1])) {
        std::fprintf(stderr, "usAge: %s [command [ip/host [port]]]\n", argv[0]);
        return 1;
    }
    const char *command = or_default(api_first_word(argv[1]), default_command);
    if (argc < 3) return api_request(command, default_host, default_port);

    const char *host = or_default(api_first_word(argv[2]), default_host);

    // Scripts have always passed the port unchecked: trailing text is ignored and the number wraps
    // to its low 16 bits (70000 is 4464, -1 is 65535).
    std::uint16_t port = default_port;
    if (argc >= 4) {
        const char *port_text = api_first_word(argv[3]);
        if (*port_text != '\0') port = static_cast<std::uint16_t>(std::strtol(port_text, nullptr, 10));
    }
    return api_request(command, host, port);
}
