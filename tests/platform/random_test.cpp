#include "platform/random.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>

namespace bramvelt::platform {
namespace {

TEST(Random, HexOfTheAskedLengthAndNeverRepeated) {
    std::set<std::string> seen;
    for (const std::size_t bytes : {1u, 24u, 300u}) {
        const auto hex = random_hex(bytes);
        ASSERT_TRUE(hex.has_value());
        EXPECT_EQ(hex->size(), bytes * 2);
        EXPECT_EQ(hex->find_first_not_of("0123456789abcdef"), std::string::npos);
        if (bytes >= 24) {
            EXPECT_TRUE(seen.insert(*hex).second);
        }
    }
    EXPECT_EQ(random_hex(0).value(), "");
}

// More than one call's worth: the part past the first 256 bytes is filled too.
TEST(Random, BytesFillTheWholeBuffer) {
    std::array<unsigned char, 600> bytes{};
    ASSERT_TRUE(random_bytes(bytes).has_value());
    EXPECT_TRUE(
        std::any_of(bytes.begin() + 512, bytes.end(), [](unsigned char b) { return b != 0; }));
}

}  // namespace
}  // namespace bramvelt::platform
