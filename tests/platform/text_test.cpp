#include "platform/text.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace bramvelt::platform {
namespace {

using Lines = std::vector<std::string>;

TEST(Text, SplitLines) {
    struct Case {
        std::string bytes;
        Lines lines;
    };
    for (const auto& c : std::vector<Case>{{"", {}},
                                           {"\n", {""}},
                                           {"a", {"a"}},
                                           {"a\n", {"a"}},
                                           {"a\n\n", {"a", ""}},
                                           {"a\r\nb\r\n", {"a", "b"}},
                                           {"a\r\r\n", {"a\r"}},
                                           {"\nb", {"", "b"}},
                                           {"x\xff\n", {"x\uFFFD"}}}) {
        EXPECT_EQ(split_lines(c.bytes), c.lines) << c.bytes;
    }
}

TEST(Text, SplitOnZeroBytes) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes;
        Lines records;
    };
    for (const auto& c : std::vector<Case>{{""s, {}},
                                           {"\0"s, {}},
                                           {"a\0b\0"s, {"a", "b"}},
                                           {"a\0\0b"s, {"a", "b"}},
                                           {"\0a"s, {"a"}},
                                           {"new\nline\0"s, {"new\nline"}},
                                           {"\xff\0"s, {"\uFFFD"}}}) {
        EXPECT_EQ(split_on_zero_bytes(c.bytes), c.records);
        EXPECT_EQ(zero_separated_records(c.bytes).size(), c.records.size());
    }
}

TEST(Text, LowerCase) {
    // Final sigma looks past apostrophes, marks and periods to the nearest letter on each
    // side; symbols that count as cased letters (circled letters) count.
    struct Case {
        std::string text;
        std::string lower;
    };
    for (const auto& c : std::vector<Case>{{"ÄBC Main", "äbc main"},
                                           {"\u0130", "i\u0307"},
                                           {"\u212A", "k"},
                                           {"ΟΔΟΣ ΣΑ", "οδος σα"},
                                           {"Σ", "σ"},
                                           {"ΣΣ", "σς"},
                                           {"Α'Σ", "α'ς"},
                                           {"ΑΣ'Β", "ασ'β"},
                                           {"ΑΣ.", "ας."},
                                           {"Α\u0301Σ", "α\u0301ς"},
                                           {"ΑΣ\u0301Β", "ασ\u0301β"},
                                           {"\u24B6Σ", "\u24D0ς"},
                                           {"1Σ", "1σ"}}) {
        EXPECT_EQ(lower_case(c.text), c.lower) << c.text;
    }
}

TEST(Text, SaturatingAdd) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    constexpr auto umax = std::numeric_limits<std::uint64_t>::max();
    static_assert(saturating_add(std::int64_t{1}, std::int64_t{2}) == 3);
    EXPECT_EQ(saturating_add(max, std::int64_t{1}), max);
    EXPECT_EQ(saturating_add(min, std::int64_t{-1}), min);
    EXPECT_EQ(saturating_add(max, min), -1);
    EXPECT_EQ(saturating_add(umax - 1, std::uint64_t{5}), umax);

    std::atomic<std::int64_t> signed_total{max - 1};
    saturating_add(signed_total, 10);
    EXPECT_EQ(signed_total.load(), max);
    std::atomic<std::uint64_t> total{90};
    saturating_add(total, 20, 100);
    EXPECT_EQ(total.load(), 100u);
    saturating_add(total, 1, 100);
    EXPECT_EQ(total.load(), 100u);
}

}  // namespace
}  // namespace bramvelt::platform
