// Arbitrary arguments against api_query's reduction of each argument to its first word. The result
// must point into the argument, start the first run of non-blank bytes, hold no blank, and every blank
// after the word's start must have become a NUL while every other byte is left as it was.
#include "query.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool blank(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An argument as the program receives it: text up to a NUL.
    std::vector<char> arg(data, data + size);
    arg.push_back('\0');
    const std::vector<char> before = arg;
    const std::size_t len = std::strlen(before.data());

    char *word = api_first_word(arg.data());
    check(word >= arg.data() && word <= arg.data() + len);
    const auto start = static_cast<std::size_t>(word - arg.data());
    for (std::size_t i = 0; i < start; ++i)
        check(blank(before[i]));
    check(start == len || !blank(before[start]));

    for (std::size_t i = 0; i < arg.size(); ++i) {
        const bool erased = i >= start && i < len && blank(before[i]);
        check(arg[i] == (erased ? '\0' : before[i]));
    }
    const std::size_t word_len = std::strlen(word);
    for (std::size_t i = 0; i < word_len; ++i)
        check(!blank(word[i]));
    check(start + word_len == len || blank(before[start + word_len]));
    return 0;
}
