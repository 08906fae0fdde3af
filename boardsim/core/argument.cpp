#include "core/argument.h"

#include <cstring>
#include <linux/ioctl.h>

namespace boardsim::detail {

namespace {

// The width of what a request's argument points at, when the trace can show it as a number.
std::size_t argument_size(unsigned long request) {
    const std::size_t size = _IOC_SIZE(request);
    return size == 1 || size == 2 || size == 4 || size == 8 ? size : 0;
}

} // namespace

void describe_request(board_event &e, const device &d, const void *arg) {
    const request_info *known = find_request(d, e.request);
    e.request_name = known != nullptr ? known->name : "request";
    if (known != nullptr && known->by_value) {
        e.argument = argument_kind::value;
        e.before = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(arg));
    } else if (known != nullptr && arg != nullptr && argument_size(e.request) != 0) {
        e.argument = argument_kind::pointer;
        e.before = load_argument(arg, e, d);
    }
}

std::int64_t load_argument(const void *arg, const board_event &e, const device &d) {
    const std::size_t size = argument_size(e.request);
    if (arg == nullptr || size == 0) return 0;
    std::uint64_t raw = 0;
    std::memcpy(&raw, arg, size); // little-endian, as every machine these tools run on
    const request_info *known = find_request(d, e.request);
    if (known != nullptr && known->signed_value && size < 8 && (raw >> (8 * size - 1)) != 0)
        raw |= ~std::uint64_t{0} << (8 * size);
    return static_cast<std::int64_t>(raw);
}

void store_argument(void *arg, unsigned long request, std::int64_t value) {
    const std::size_t size = argument_size(request);
    if (arg == nullptr || size == 0) return;
    auto raw = static_cast<std::uint64_t>(value);
    if (size < 8) raw &= (std::uint64_t{1} << (8 * size)) - 1;
    std::memcpy(arg, &raw, size);
}

} // namespace boardsim::detail
