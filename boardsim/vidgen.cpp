// The voltage generator /dev/vidgen0.0: its one request, which takes its argument by value.
#include "model.h"

#include "board_requests.h"

#include <cerrno>

namespace boardsim::detail {

namespace {

board_path file(std::string_view rest) {
    return rest == "0.0" ? board_path{file_kind::vidgen, 0} : board_path{};
}

int open(board &b, const board_path & /*where*/, int /*flags*/) {
    return b.setup.vidgen_present ? 0 : ENOENT;
}

ssize_t read(board & /*b*/, open_file & /*f*/, void * /*buf*/, std::size_t /*count*/) {
    return fail_with(EINVAL);
}

ssize_t write(board & /*b*/, open_file & /*f*/, const board_event & /*e*/, const void * /*buf*/,
              std::size_t /*count*/) {
    return fail_with(EINVAL);
}

int ioctl(board &b, open_file & /*f*/, board_event &e, unsigned long request, void *arg) {
    if (request != board_request::vidgen_set) return static_cast<int>(fail_with(ENOTTY));
    const auto value = static_cast<long>(reinterpret_cast<std::uintptr_t>(arg));
    e.request_name = board_request::name_of(request);
    e.argument = argument_kind::value;
    e.before = static_cast<std::int64_t>(static_cast<unsigned long>(value));
    b.devices.vidgen.push_back(value);
    return b.setup.vidgen_fail ? static_cast<int>(fail_with(EINVAL)) : 0;
}

void close(board & /*b*/, open_file & /*f*/) {}

} // namespace

const device voltage_generator{"/dev/vidgen", file, open, read, write, ioctl, close};

} // namespace boardsim::detail
