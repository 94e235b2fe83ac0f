#include "platform/user_db.hpp"

#include <gtest/gtest.h>

namespace bramvelt::platform {
namespace {

TEST(AccountHome, ReadsThePasswdRecord) {
    EXPECT_EQ(account_home(0), std::optional<std::string>("/root"));
    // A user ID without a record has no home.
    EXPECT_EQ(account_home(54321), std::nullopt);
}

}  // namespace
}  // namespace bramvelt::platform
