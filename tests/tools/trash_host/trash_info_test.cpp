#include "tools/trash_host/trash_info.hpp"

#include <gtest/gtest.h>

#include <ctime>

#include "support/temp_dir.hpp"
#include "tools/trash_host/move_to_trash.hpp"

namespace bramvelt::trash_host {
namespace {

TEST(PercentEncodePath, KeepsUnreservedBytesAndSlashesEncodesTheRest) {
    struct Case {
        std::string_view path;
        std::string_view encoded;
    };
    const Case cases[] = {
        {"/home/u/src/app", "/home/u/src/app"},
        {"/a-b_c.d!e~f*g'h(i)j/Z9", "/a-b_c.d!e~f*g'h(i)j/Z9"},
        {"/with space/100%/x", "/with%20space/100%25/x"},
        {"/line\nfeed\ttab\x7f", "/line%0Afeed%09tab%7F"},
        {"/caf\xc3\xa9/\xff", "/caf%C3%A9/%FF"},
        {"/q?h#a&b=c+d:e@f;g,h$i\"[]", "/q%3Fh%23a%26b%3Dc%2Bd%3Ae%40f%3Bg%2Ch%24i%22%5B%5D"},
        {std::string_view("/nul\0x", 6), "/nul%00x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(percent_encode_path(c.path), c.encoded) << c.path;
    }
}

TEST(TrashInfoContents, ThreeLinesWithLocalDeletionDate) {
    testing::ScopedEnv tz("TZ", "UTC");
    ::tzset();
    // 2024-02-29 13:05:09 UTC
    const std::time_t when = 1709211909;
    EXPECT_EQ(deletion_date(when), "2024-02-29T13:05:09");
    EXPECT_EQ(trash_info_contents("src/a b", when),
              "[Trash Info]\nPath=src/a%20b\nDeletionDate=2024-02-29T13:05:09\n");
    {
        testing::ScopedEnv east("TZ", "UTC-2");
        ::tzset();
        EXPECT_EQ(deletion_date(when), "2024-02-29T15:05:09");
    }
    ::tzset();
}

TEST(TrashName, SuffixesFromTheSecondTryAndNamesThatStillFit) {
    EXPECT_EQ(trash_name("target", 1), "target");
    EXPECT_EQ(trash_name("target", 2), "target.2");
    EXPECT_EQ(trash_name("a.tar.gz", 13), "a.tar.gz.13");

    const std::string longest(245, 'x');  // 245 + ".trashinfo" = 255
    EXPECT_EQ(trash_name(longest, 1), longest);
    EXPECT_EQ(trash_name(longest, 2), std::string(243, 'x') + ".2");
    EXPECT_EQ(trash_name(std::string(255, 'y'), 1), std::string(245, 'y'));

    // "é" is two bytes: a cut never splits it.
    std::string accented;
    for (int i = 0; i < 127; ++i) accented += "\xc3\xa9";  // 254 bytes
    const std::string cut = trash_name(accented, 1);
    EXPECT_EQ(cut.size(), 244u);
    EXPECT_EQ(cut, accented.substr(0, 244));
    // A name that is not text is cut by bytes.
    std::string bytes(250, '\xff');
    EXPECT_EQ(trash_name(bytes, 1).size(), 245u);
}

}  // namespace
}  // namespace bramvelt::trash_host
