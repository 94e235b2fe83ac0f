#include "src/cli/format.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

TEST(Format, Size) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {1048575, "1024.0 KiB"},
        {1048576, "1.0 MiB"},
        {5ull << 30, "5.0 GiB"},
        {2048ull << 40, "2048.0 TiB"},
        {std::numeric_limits<std::uint64_t>::max(), "8388608.0 TiB"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(format_size(bytes), text) << bytes;
    }
}

TEST(Format, Count) {
    EXPECT_EQ(format_count(0), "0");
    EXPECT_EQ(format_count(100), "100");
    EXPECT_EQ(format_count(999), "999");
    EXPECT_EQ(format_count(1000), "1,000");
    EXPECT_EQ(format_count(1234567), "1,234,567");
    EXPECT_EQ(format_count(std::numeric_limits<std::uint64_t>::max()),
              "18,446,744,073,709,551,615");
}

TEST(Format, Age) {
    const std::int64_t now = 1'000'000'000;
    EXPECT_EQ(format_age(std::nullopt, now), "\u2014");
    EXPECT_EQ(format_age(now + 100, now), "0m");
    const std::pair<std::int64_t, const char*> cases[] = {
        {59, "0m"},           {3'599, "59m"},     {3'600, "1h"},        {86'399, "23h"},
        {86'400, "1d"},       {5'183'999, "59d"}, {5'184'000, "2mo"},   {90 * 86'400, "3mo"},
        {63'071'999, "24mo"}, {63'072'000, "2y"}, {800 * 86'400, "2y"},
    };
    for (const auto& [age, text] : cases) {
        EXPECT_EQ(format_age(now - age, now), text) << age;
    }
    EXPECT_EQ(format_age(std::numeric_limits<std::int64_t>::min(),
                         std::numeric_limits<std::int64_t>::max()),
              "584942417355y");
}

TEST(Format, EscapeForDisplay) {
    EXPECT_EQ(escape_for_display("plain é"), "plain é");
    EXPECT_EQ(escape_for_display("a\tb\nc\r"), "a\\tb\\nc\\r");
    EXPECT_EQ(escape_for_display("\x07\x1b\x7f\xc2\x9b\xc2\xa0"),
              "\\u{7}\\u{1b}\\u{7f}\\u{9b}\xc2\xa0");
    // Direction controls would show a path's end first; their neighbours stay as they are.
    EXPECT_EQ(escape_for_display("a\u202Etxt.exe"), "a\\u{202e}txt.exe");
    EXPECT_EQ(escape_for_display("\u200D\u200E\u200F\u2010"), "\u200D\\u{200e}\\u{200f}\u2010");
    EXPECT_EQ(escape_for_display("\u2029\u202A\u202B\u202C\u202D\u202E\u202F"),
              "\u2029\\u{202a}\\u{202b}\\u{202c}\\u{202d}\\u{202e}\u202F");
    EXPECT_EQ(escape_for_display("\u2065\u2066\u2067\u2068\u2069\u206A"),
              "\u2065\\u{2066}\\u{2067}\\u{2068}\\u{2069}\u206A");
    EXPECT_EQ(display_path("/home/ann/\u2067x", std::optional<std::string>("/home/ann")),
              "~/\\u{2067}x");
}

TEST(Format, DisplayPath) {
    const std::optional<std::string> home = "/home/ann";
    EXPECT_EQ(display_path("/home/ann", home), "~");
    EXPECT_EQ(display_path("/home/ann/src/x", home), "~/src/x");
    EXPECT_EQ(display_path("/home/anna/src", home), "/home/anna/src");
    EXPECT_EQ(display_path("/home/ann/a\nb", home), "~/a\\nb");
    EXPECT_EQ(display_path("/etc", home), "/etc");
    EXPECT_EQ(display_path("/home/ann", std::nullopt), "/home/ann");
    EXPECT_EQ(display_path("/x/y", std::optional<std::string>("/")), "/x/y");
    EXPECT_EQ(display_path("/", std::optional<std::string>("/")), "/");
    // Matching happens after escaping, so a home holding an escape sequence still matches.
    EXPECT_EQ(display_path("/h\n/x", std::optional<std::string>("/h\\n")), "~/x");
}

TEST(Format, AlignCountsCharacters) {
    EXPECT_EQ(align_right("1 B", 6), "   1 B");
    EXPECT_EQ(align_right("—", 5), "    —");  // three bytes, one character
    EXPECT_EQ(align_left("Gradle cache", 14), "Gradle cache  ");
    EXPECT_EQ(align_left("Größe", 6), "Größe ");
    EXPECT_EQ(align_right("too long", 3), "too long");
    EXPECT_EQ(align_left("", 2), "  ");
}

TEST(Format, HomeDir) {
    {
        testing::ScopedEnv env("HOME", "/home/ann");
        EXPECT_EQ(home_dir(), "/home/ann");
    }
    {
        testing::ScopedEnv env("HOME", nullptr);
        EXPECT_EQ(home_dir(), std::nullopt);
    }
    {
        testing::ScopedEnv env("HOME", "");
        EXPECT_EQ(home_dir(), std::nullopt);
    }
    {
        testing::ScopedEnv env("HOME", "/home/\xff");
        EXPECT_EQ(home_dir(), std::nullopt);
    }
}

}  // namespace
}  // namespace bramvelt::cli
