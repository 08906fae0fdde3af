#include "tape.h"

#include "board_requests.h"

#include <cstring>
#include <linux/ioctl.h>

namespace boardsim::detail {

namespace {

// The width of what a request's argument points at, when the trace can show it as a number.
std::size_t argument_size(unsigned long request) {
    const std::size_t size = _IOC_SIZE(request);
    return size == 1 || size == 2 || size == 4 || size == 8 ? size : 0;
}

// The watchdog's seconds are signed; the port settings are not.
bool signed_argument(unsigned long request) {
    return ((request >> _IOC_TYPESHIFT) & _IOC_TYPEMASK) == 'W';
}

} // namespace

void describe_request(board_event &e, const open_file &f, const void *arg) {
    const std::string_view name = board_request::name_of(e.request);
    e.request_name = name.empty() ? "request" : name;
    if (f.where.kind == file_kind::vidgen) {
        e.argument = argument_kind::value;
        e.before = static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(arg));
    } else if (!name.empty() && arg != nullptr && argument_size(e.request) != 0) {
        e.argument = argument_kind::pointer;
        e.before = load_argument(arg, e.request);
    }
}

std::int64_t load_argument(const void *arg, unsigned long request) {
    const std::size_t size = argument_size(request);
    if (arg == nullptr || size == 0) return 0;
    std::uint64_t raw = 0;
    std::memcpy(&raw, arg, size); // little-endian, as every machine these tools run on
    if (signed_argument(request) && size < 8 && (raw >> (8 * size - 1)) != 0)
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
