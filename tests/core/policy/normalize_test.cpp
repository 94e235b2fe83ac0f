#include "core/policy/normalize.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bramvelt::policy {
namespace {

struct Case {
    std::string input;
    HostOs host;
    std::string expected;  // normalized form, or the refusal message
    bool ok;
};

std::string long_path(std::size_t bytes) {
    return "/" + std::string(bytes - 1, 'a');
}

TEST(NormalizePolicyPath, Table) {
    const std::vector<Case> cases = {
        // POSIX form.
        {"/", HostOs::MacOs, "/", true},
        {"///", HostOs::MacOs, "/", true},
        {"/a//b/./c/", HostOs::MacOs, "/a/b/c", true},
        {"/a/../b", HostOs::MacOs, "/b", true},
        {"/a/../b/..", HostOs::MacOs, "/", true},
        {"/a/b:c", HostOs::Linux, "/a/b:c", true},
        {"/a/b./c ", HostOs::MacOs, "/a/b./c ", true},
        {"/a/.../b", HostOs::MacOs, "/a/.../b", true},
        {"/a\\b", HostOs::MacOs, "/a\\b", true},
        {"/Users/Ann/Éé", HostOs::MacOs, "/Users/Ann/Éé", true},
        {"/..", HostOs::MacOs, std::string(kPathEscapesRoot), false},
        {"/a/../..", HostOs::Linux, std::string(kPathEscapesRoot), false},
        {"relative/x", HostOs::MacOs, std::string(kAbsolutePathRequired), false},
        {"~/x", HostOs::MacOs, std::string(kAbsolutePathRequired), false},
        {"C:/x", HostOs::Linux, std::string(kAbsolutePathRequired), false},
        {"", HostOs::MacOs, std::string(kPathEmptyNulOrLong), false},
        {std::string("/a\0b", 4), HostOs::MacOs, std::string(kPathEmptyNulOrLong), false},
        {std::string("C:/a\0b", 6), HostOs::Windows, std::string(kPathEmptyNulOrLong), false},
        {long_path(32769), HostOs::MacOs, std::string(kPathEmptyNulOrLong), false},
        {long_path(32768), HostOs::MacOs, long_path(32768), true},
        // Drive form.
        {"C:\\Users\\x\\", HostOs::Windows, "C:/Users/x", true},
        {"c:/x", HostOs::Windows, "c:/x", true},
        {"C:/", HostOs::Windows, "C:/", true},
        {"C:/a/./b//..", HostOs::Windows, "C:/a", true},
        {"C:", HostOs::Windows, std::string(kDrivePathRequired), false},
        {"C:x", HostOs::Windows, std::string(kDrivePathRequired), false},
        {"1:/x", HostOs::Windows, std::string(kDrivePathRequired), false},
        {"/x", HostOs::Windows, std::string(kDrivePathRequired), false},
        {"\\\\server\\share", HostOs::Windows, std::string(kUncRequiresTransport), false},
        {"//?/C:/x", HostOs::Windows, std::string(kUncRequiresTransport), false},
        {"\\\\.\\device", HostOs::Windows, std::string(kUncRequiresTransport), false},
        {"C:/a/b.", HostOs::Windows, std::string(kAmbiguousWindowsComponent), false},
        {"C:/a/b ", HostOs::Windows, std::string(kAmbiguousWindowsComponent), false},
        {"C:/a/x:y", HostOs::Windows, std::string(kAmbiguousWindowsComponent), false},
        {"C:/..", HostOs::Windows, std::string(kPathEscapesRoot), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        const auto result = normalize_policy_path(c.input, c.host);
        ASSERT_EQ(result.has_value(), c.ok) << (result ? *result : result.error());
        EXPECT_EQ(c.ok ? *result : result.error(), c.expected);
    }
}

TEST(NormalizePolicyPath, LocalFormIsThePosixForm) {
    EXPECT_EQ(normalize_local_path("/a/./b/").value(), "/a/b");
    EXPECT_EQ(normalize_local_path("C:/x").error(), kAbsolutePathRequired);
}

TEST(NormalizePathList, KeepsFailuresInPlace) {
    EXPECT_EQ(normalize_path_list({"/a/", "rel", "/b/../c"}, HostOs::MacOs),
              (std::vector<std::string>{"/a", "rel", "/c"}));
}

TEST(NormalizeCanonicalPath, ReplacesInvalidUtf8AndReportsGeneralErrors) {
    EXPECT_EQ(normalize_canonical_path("/a/x\xff/y/", HostOs::MacOs).value(), "/a/x\xEF\xBF\xBD/y");
    const auto failed = normalize_canonical_path("rel", HostOs::MacOs);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().error_number, 0);
    EXPECT_EQ(failed.error().message, kAbsolutePathRequired);
}

TEST(ContainsNul, FindsAZeroByteAnywhere) {
    EXPECT_FALSE(contains_nul("/a/b"));
    EXPECT_TRUE(contains_nul(std::string("\0", 1)));
    EXPECT_TRUE(contains_nul(std::string("/a\0", 3)));
}

}  // namespace
}  // namespace bramvelt::policy
