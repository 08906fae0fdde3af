// api_first_word on its own: the returned word and what is left in the caller's buffer.
#include "query.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct first_word_case {
    std::string text;
    std::size_t start; // where the word starts in the caller's buffer: the result points there
    std::string word;
    std::string buffer_after; // the whole buffer, its terminating NUL excluded
};

TEST(ApiFirstWord, ReturnsTheFirstWordInPlaceAndBlanksEveryLaterWhiteSpace) {
    const std::vector<first_word_case> cases{
        {"", 0, "", ""},
        {"summary", 0, "summary", "summary"},
        {"   ", 3, "", "   "},
        {" \t\n\v\f\r", 6, "", " \t\n\v\f\r"},
        {"  devs  ", 2, "devs", "  devs\0\0"s},
        {"a b  c ", 0, "a", "a\0b\0\0c\0"s},
        {"\r\nversion\r\n", 2, "version", "\r\nversion\0\0"s},
        {"\xa0x\x85", 0, "\xa0x\x85", "\xa0x\x85"},
        {"-h ", 0, "-h", "-h\0"s},
    };
    for (const first_word_case &c : cases) {
        std::vector<char> buffer(c.text.begin(), c.text.end());
        buffer.push_back('\0');
        const char *word = api_first_word(buffer.data());
        EXPECT_EQ(static_cast<const void *>(word), static_cast<const void *>(buffer.data() + c.start))
            << '"' << c.text << '"';
        EXPECT_EQ(word, std::string{c.word}) << '"' << c.text << '"';
        EXPECT_EQ(std::string(buffer.data(), buffer.size() - 1), c.buffer_after) << '"' << c.text << '"';
    }
}

} // namespace
