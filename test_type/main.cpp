// test_type: asks the board support library for the chip type code of the hash boards and prints
// the type's name, or ERR for a code that has none.
#include "vexa.h"

#include <array>
#include <cstdint>
#include <cstdio>

const char *probe_type_name();

namespace {

constexpr const char *type_err = "ERR";

// The chain access object's extent as vexa_bucket_init takes it: the chains, and the chips on each.
constexpr int bucket_chains = 8;
constexpr int bucket_chips_per_chain = 72;

// By chip type code, the low 8 bits of what the library returns.
constexpr std::array<const char *, 12> type_names{
    "K5", type_err, type_err, "K8", type_err, type_err, "K6", type_err, type_err, type_err, type_err, "K7",
};

} // namespace

const char *probe_type_name() {
    vexa_bucket_ctx bucket{};
    vexa_bucket_init(&bucket, bucket_chains, bucket_chips_per_chain);
    const int bits = vexa_bucket_get_type_bits(&bucket);
    vexa_bucket_exit(&bucket);

    const auto code = static_cast<std::uint8_t>(bits);
    return code < type_names.size() ? type_names[code] : type_err;
}

int main() {
    vexa_log_init(5, "test_type");
    std::printf("%s\n", probe_type_name());
    return 0;
}
