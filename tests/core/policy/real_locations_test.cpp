// The protection lists hold where their entries really are on this machine, not only how
// they are written: on a merged-/usr system "/lib64" is "/usr/lib64", and a home may be
// reached through a link.

#include <gtest/gtest.h>

#include <filesystem>

#include "core/policy/decision.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::policy {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

PolicyVerdict verdict_of(const PolicyContext& context, const std::string& path) {
    return evaluate_path_policy(context, path).verdict;
}

TEST(RealLocations, SystemFoldersOfThisMachine) {
    TempDir tmp;
    const std::string home = tmp.make_dir("home");
    ScopedEnv env("HOME", home.c_str());
    PolicyContext context;
    context.home = home;
    struct Case {
        std::string path;
        PolicyVerdict verdict;
    };
    std::vector<Case> cases;
    for (const char* folder : {"/usr/lib64", "/usr/lib32", "/usr/libx32", "/efi", "/lib64",
                               "/bin", "/sbin", "/lib"}) {
        if (fs::exists(fs::symlink_status(folder))) {
            cases.push_back({folder, PolicyVerdict::Refused});
        }
    }
    // Whatever the loader is called here, it lies in a protected place.
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/usr/lib64", error)) {
        cases.push_back({entry.path().string(), PolicyVerdict::Refused});
        break;
    }
    ASSERT_FALSE(cases.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(verdict_of(context, c.path), c.verdict);
    }
}

TEST(RealLocations, AHomeReachedThroughALinkProtectsItsRealFolder) {
    TempDir tmp;
    const std::string real_home = tmp.make_dir("var/home/ann");
    tmp.write_file("var/home/ann/.ssh/id_ed25519", "key");
    tmp.write_file("var/home/ann/Documents/report", "text");
    tmp.make_dir("var/home/ann/project/build");
    tmp.make_dir("home");
    fs::create_directory_symlink(real_home, tmp / "home/ann");
    const std::string linked_home = tmp / "home/ann";
    ScopedEnv env("HOME", linked_home.c_str());
    PolicyContext context;
    context.home = linked_home;

    struct Case {
        std::string path;
        PolicyVerdict verdict;
        std::string_view code;
    };
    const std::vector<Case> cases = {
        {real_home + "/.ssh/id_ed25519", PolicyVerdict::Refused, kCodeProtectedLocation},
        {real_home + "/.ssh", PolicyVerdict::Refused, kCodeProtectedLocation},
        {real_home, PolicyVerdict::Refused, kCodeProtectedLocation},
        {real_home + "/Documents", PolicyVerdict::Refused, kCodeEssentialFolder},
        {linked_home + "/.ssh/id_ed25519", PolicyVerdict::Refused, kCodeProtectedLocation},
        {real_home + "/project/build", PolicyVerdict::Allowed, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const PathDecision d = evaluate_path_policy(context, c.path);
        EXPECT_EQ(d.verdict, c.verdict);
        if (!c.code.empty()) {
            EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(c.code)}));
        }
    }
}

}  // namespace
}  // namespace bramvelt::policy
