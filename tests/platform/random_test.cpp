#include "platform/random.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace bramvelt::platform
