#include "core/policy/context.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/policy/normalize.hpp"
#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::policy {
namespace {

using testing::ScopedEnv;

PolicyContext context(std::string home, HostOs host = HostOs::MacOs,
                      PolicyTransport transport = PolicyTransport::local()) {
    PolicyContext c;
    c.transport = std::move(transport);
    c.home = std::move(home);
    c.host_os = host;
    return c;
}

std::string validation(const PolicyContext& c) {
    const auto result = validate_policy_context(c);
    return result ? "ok" : result.error();
}

std::string validation_of_local(const std::string& home) {
    const auto result = check_local_service_context(context(home));
    return result ? "ok" : result.error();
}

TEST(ValidatePolicyContext, RulesInOrder) {
    struct Case {
        PolicyContext context;
        std::string expected;
    };
    const std::string home_required(kExplicitHomeRequired);
    const std::vector<Case> cases = {
        {context("/Users/ann"), "ok"},
        {context("/"), home_required},
        {context("/ab"), home_required},
        {context("//ab"), "ok"},
        {context("relative/home"), std::string(kAbsolutePathRequired)},
        {context("ab"), std::string(kAbsolutePathRequired)},
        {context(""), std::string(kPathEmptyNulOrLong)},
        // Longer than three bytes, yet only a root once normalized.
        {context("////"), home_required},
        {context("/a/.."), home_required},
        {context("/a/../"), home_required},
        {context("C:/a/..", HostOs::Windows, PolicyTransport::remote("pc")), home_required},
        {context("C:/", HostOs::Windows, PolicyTransport::remote("pc")), home_required},
        {context("//:x"), "ok"},
        {context("/Users/ann", HostOs::Linux), std::string(kLocalHostMismatch)},
        {context("C:/Users/ann", HostOs::Windows), std::string(kLocalHostMismatch)},
        {context("/home/ann", HostOs::Linux, PolicyTransport::remote("box")), "ok"},
        {context("/home/ann", HostOs::Linux, PolicyTransport::remote("")),
         std::string(kRemoteHostRequired)},
        {context("/home/ann", HostOs::Linux, PolicyTransport::remote(" \t\u00a0\u3000")),
         std::string(kRemoteHostRequired)},
        {context("/home/ann", HostOs::Linux, PolicyTransport::remote(std::string("b\0x", 3))),
         std::string(kRemoteHostRequired)},
        {context("/home/ann", HostOs::Linux, PolicyTransport::cloud("  ")),
         std::string(kCloudRemoteRequired)},
        {context("/home/ann", HostOs::Linux, PolicyTransport::cloud("drive")), "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.context.home);
        EXPECT_EQ(validation(c.context), c.expected);
    }
}

TEST(ValidatePolicyContext, ListLimitsAndEntries) {
    PolicyContext c = context("/Users/ann");
    c.volume_roots.assign(4096, "/Volumes/x");
    c.protected_paths.assign(4096, "/p");
    EXPECT_EQ(validation(c), "ok");

    // The count is checked before any entry is normalized.
    c.volume_roots.assign(4097, "relative");
    EXPECT_EQ(validation(c), kTooManyVolumeRoots);
    c.volume_roots = {"/ok", "/a/../..", "relative"};
    EXPECT_EQ(validation(c), kPathEscapesRoot);
    c.volume_roots.clear();

    c.protected_paths.assign(4097, "relative");
    EXPECT_EQ(validation(c), kTooManyProtectedPaths);
    c.protected_paths = {"/ok", "rel"};
    EXPECT_EQ(validation(c), kAbsolutePathRequired);
}

TEST(LocalUserHomes, HomeFirstThenTheAccountRecord) {
    {
        ScopedEnv home("HOME", "/root");
        EXPECT_EQ(local_user_homes(), (std::vector<std::string>{"/root"}));
    }
    {
        ScopedEnv home("HOME", "/root/");  // differs as text
        EXPECT_EQ(local_user_homes(), (std::vector<std::string>{"/root/", "/root"}));
    }
    {
        ScopedEnv home("HOME", "");
        EXPECT_EQ(local_user_homes(), (std::vector<std::string>{"", "/root"}));
    }
    {
        ScopedEnv home("HOME", "/x\xff");
        EXPECT_EQ(local_user_homes(), (std::vector<std::string>{"/x\xEF\xBF\xBD", "/root"}));
    }
    {
        ScopedEnv home("HOME", nullptr);
        EXPECT_EQ(local_user_homes(), (std::vector<std::string>{"/root"}));
    }
}

TEST(CheckLocalServiceContext, AcceptsOnlyThisAccountsHome) {
    testing::TempDir tmp;
    const std::string home = tmp.make_dir("home");
    ScopedEnv env("HOME", (home + "/").c_str());

    EXPECT_TRUE(check_local_service_context(context(home)));
    EXPECT_TRUE(check_local_service_context(context(home + "//")));
    EXPECT_TRUE(check_local_service_context(context("/root")));  // the account record's home
    EXPECT_EQ(check_local_service_context(context("/home/someone")).error(), kLocalHomeMismatch);
    EXPECT_EQ(check_local_service_context(context("/")).error(), kExplicitHomeRequired);
    EXPECT_EQ(
        check_local_service_context(context(home, HostOs::Linux, PolicyTransport::remote("box")))
            .error(),
        kRemoteNeedsHostTransport);
    EXPECT_EQ(check_local_service_context(context(home, HostOs::Linux)).error(),
              kLocalHostMismatch);
}

TEST(CheckLocalServiceContext, NoHomeAtAll) {
    // A user ID without an account record, and HOME unset or unusable.
    const int code = testing::run_in_child_as(54321, 54321, [] {
        ::unsetenv("HOME");
        if (!local_user_homes().empty()) return 1;
        if (validation_of_local("/home/ann") != kCannotDetermineHome) return 2;
        ::setenv("HOME", "relative", 1);
        if (validation_of_local("/home/ann") != kCannotDetermineHome) return 3;
        ::setenv("HOME", "/home/ann/", 1);
        if (validation_of_local("/home/ann") != "ok") return 4;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::policy
