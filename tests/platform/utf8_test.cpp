#include "platform/utf8.hpp"

#include <gtest/gtest.h>

namespace bramvelt::platform {
namespace {

TEST(Utf8, Validity) {
    const std::pair<std::string, bool> cases[] = {
        {"", true},
        {"plain", true},
        {"\xc3\xa9\xe2\x80\x94\xf0\x9f\x98\x80", true},
        {"\xff", false},
        {"\xc3", false},              // truncated
        {"\xc0\xaf", false},          // overlong
        {"\xed\xa0\x80", false},      // surrogate
        {"\xf4\x90\x80\x80", false},  // above U+10FFFF
        {std::string("a\0b", 3), true},
    };
    for (const auto& [bytes, valid] : cases) {
        EXPECT_EQ(is_valid_utf8(bytes), valid) << ::testing::PrintToString(bytes);
    }
}

TEST(Utf8, LossyReplacesEachMaximalIllFormedPart) {
    const std::string fffd = "\xef\xbf\xbd";
    EXPECT_EQ(to_utf8_lossy("ok\xc3\xa9"), "ok\xc3\xa9");
    EXPECT_EQ(to_utf8_lossy("a\xffz"), "a" + fffd + "z");
    // A truncated three-byte sequence is one replacement, not two.
    EXPECT_EQ(to_utf8_lossy("\xe2\x80z"), fffd + "z");
    // An overlong lead byte and its continuation are two.
    EXPECT_EQ(to_utf8_lossy("\xc0\xaf"), fffd + fffd);
    EXPECT_EQ(to_utf8_lossy("\xed\xa0\x80"), fffd + fffd + fffd);
}

TEST(Utf8, CodePoints) {
    const std::string text = "a\xc3\xa9\xf0\x9f\x98\x80";
    std::size_t pos = 0;
    EXPECT_EQ(next_code_point(text, pos), U'a');
    EXPECT_EQ(next_code_point(text, pos), U'\u00e9');
    EXPECT_EQ(next_code_point(text, pos), U'\U0001F600');
    EXPECT_EQ(pos, text.size());
    EXPECT_EQ(count_code_points(text), 3u);
    std::string out;
    for (char32_t c : {U'a', U'\u00e9', U'\u2014', U'\U0001F600'}) append_utf8(out, c);
    EXPECT_EQ(out, "a\xc3\xa9\xe2\x80\x94\xf0\x9f\x98\x80");
}

}  // namespace
}  // namespace bramvelt::platform
