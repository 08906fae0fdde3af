// yardstick: the simplest clients that fetch a reply from reply_server, for comparison with api_query.
//   yardstick hold PORT SIZE     holds the reply whole in one block allocated up front, then writes it out
//   yardstick grow PORT SIZE     holds it in a block grown in 65535-byte steps as api_query's, then writes
//                                it out in one go
//   yardstick stream PORT SIZE   writes each piece out as it arrives
// The command sent is SIZE; exits 0 when exactly SIZE bytes came and were written to standard output.
#include "bench_core.h"
#include "number.h"

#include <cstdio>
#include <optional>
#include <string_view>

int main(int argc, char **argv) {
    const std::string_view mode = argc == 4 ? argv[1] : "";
    const bool known_mode = mode == "hold" || mode == "grow" || mode == "stream";
    const std::optional<std::uint64_t> port =
        known_mode ? parse_number<std::uint64_t>(argv[2]) : std::nullopt;
    const std::optional<std::uint64_t> size =
        known_mode ? parse_number<std::uint64_t>(argv[3]) : std::nullopt;
    if (!port || *port == 0 || *port > 65535 || !size || *size > bench::max_reply_bytes) {
        std::fprintf(stderr, "usage: yardstick hold|grow|stream PORT SIZE\n");
        return 2;
    }
    const auto how = mode == "hold"   ? bench::reply_handling::hold
                     : mode == "grow" ? bench::reply_handling::grow
                                      : bench::reply_handling::stream;
    const std::int64_t got = bench::fetch_reply(static_cast<std::uint16_t>(*port), argv[3], *size, how, 1);
    if (got != static_cast<std::int64_t>(*size)) {
        std::fprintf(stderr, "yardstick: expected %llu bytes, got %lld\n",
                     static_cast<unsigned long long>(*size), static_cast<long long>(got));
        return 1;
    }
    return 0;
}
