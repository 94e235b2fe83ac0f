#include "tools/trash_host/request.hpp"

#include <gtest/gtest.h>

#include "tools/trash_host/texts.hpp"

namespace bramvelt::trash_host {
namespace {

TEST(ParseTrashRequest, ReadsTheFourStrings) {
    const auto request = parse_trash_request(
        R"({"device":"2049","inode":"18446744073709551615","kind":"directory","path":"/home/u/a \"b\"\\c"})");
    ASSERT_TRUE(request) << request.error();
    EXPECT_EQ(request->device, "2049");
    EXPECT_EQ(request->inode, "18446744073709551615");
    EXPECT_EQ(request->kind, "directory");
    EXPECT_EQ(request->path, "/home/u/a \"b\"\\c");
}

TEST(ParseTrashRequest, KindIsNotTypeChecked) {
    for (const char* kind : {R"("kind":7,)", R"("kind":null,)", ""}) {
        const std::string text =
            std::string(R"({"device":"1","inode":"2",)") + kind + R"("path":"/a"})";
        const auto request = parse_trash_request(text);
        ASSERT_TRUE(request) << text;
        EXPECT_FALSE(request->kind.has_value()) << text;
    }
}

TEST(ParseTrashRequest, RefusesWhatTheHostCannotActOnSafely) {
    const std::string cases[] = {
        "",
        "not json",
        "[]",
        R"("text")",
        R"({"device":"1","inode":"2","kind":"file"})",
        R"({"device":"1","inode":"2","kind":"file","path":7})",
        R"({"device":"1","inode":"2","kind":"file","path":""})",
        R"({"device":"1","inode":"2","kind":"file","path":"relative/a"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a/"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a/."})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a/.."})",
        R"({"device":"1","inode":"2","kind":"file","path":"//a"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a//b"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a/./b"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a/../b"})",
        R"({"device":"1","inode":"2","kind":"file","path":"/a\u0000b"})",
        R"({"device":1,"inode":"2","kind":"file","path":"/a"})",
        R"({"device":"1","inode":2,"kind":"file","path":"/a"})",
        R"({"inode":"2","kind":"file","path":"/a"})",
        "{\"device\":\"1\",\"inode\":\"2\",\"kind\":\"file\",\"path\":\"/a\xff\"}",
        R"({"device":"1","inode":"2","kind":"file","path":"/a")",
    };
    for (const std::string& text : cases) {
        const auto request = parse_trash_request(text);
        ASSERT_FALSE(request) << text;
        EXPECT_EQ(request.error(), kInvalidRequest);
    }
}

TEST(ParseTrashRequest, AtMost64KiB) {
    const std::string head = R"({"device":"1","inode":"2","kind":"file","path":"/)";
    const std::string tail = R"("})";
    const std::string fits =
        head + std::string(kMaxRequestBytes - head.size() - tail.size(), 'a') + tail;
    ASSERT_EQ(fits.size(), kMaxRequestBytes);
    EXPECT_TRUE(parse_trash_request(fits));
    const std::string over =
        head + std::string(kMaxRequestBytes + 1 - head.size() - tail.size(), 'a') + tail;
    EXPECT_EQ(parse_trash_request(over).error(), kInvalidRequest);
}

}  // namespace
}  // namespace bramvelt::trash_host
