#include "core/policy/classification.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/self_exe.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::policy {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr auto kAllowed = PolicyVerdict::Allowed;
constexpr auto kAck = PolicyVerdict::NeedsAcknowledgement;
constexpr auto kRefused = PolicyVerdict::Refused;

struct Expect {
    std::string path;
    PolicyVerdict verdict;
    std::string_view code;  // empty for Allowed
};

void expect_all(const SafetyPolicy& policy, const std::vector<Expect>& cases) {
    const std::vector<std::pair<std::string_view, std::string_view>> messages = {
        {kCodeVolumeRoot, kMountedVolumeRoot},    {kCodeProtectedLocation, kProtectedLocation},
        {kCodeEssentialFolder, kEssentialFolder}, {kCodeApplicationData, kApplicationData},
        {kCodeHiddenData, kHiddenData},
    };
    for (const Expect& e : cases) {
        SCOPED_TRACE(e.path);
        const PathClassification c = classify_path(policy, e.path);
        EXPECT_EQ(c.verdict, e.verdict);
        if (e.code.empty()) {
            EXPECT_TRUE(c.codes.empty());
            EXPECT_TRUE(c.messages.empty());
            continue;
        }
        ASSERT_EQ(c.codes.size(), 1u);
        ASSERT_EQ(c.messages.size(), 1u);
        EXPECT_EQ(c.codes[0], e.code);
        for (const auto& [code, message] : messages) {
            if (code == e.code) {
                EXPECT_EQ(c.messages[0], message);
            }
        }
    }
}

// A remote context reads nothing of this machine, so its lists are exactly the tables.
PolicyContext remote(std::string home, HostOs host) {
    PolicyContext c;
    c.transport = PolicyTransport::remote("box");
    c.home = std::move(home);
    c.host_os = host;
    return c;
}

TEST(PathInside, WholeComponentsOnly) {
    EXPECT_TRUE(path_inside("/Users/ann", "/Users"));
    EXPECT_TRUE(path_inside("/Users/ann", "/"));
    EXPECT_TRUE(path_inside("C:/x", "C:/"));
    EXPECT_FALSE(path_inside("/Users/annex", "/Users/ann"));
    EXPECT_FALSE(path_inside("/Users", "/Users"));
    EXPECT_FALSE(path_inside("/", "/"));
    EXPECT_FALSE(path_inside("c:/x", "C:/"));
}

TEST(ClassifyPath, MacOsForm) {
    PolicyContext c = remote("/Users/ann", HostOs::MacOs);
    c.protected_paths = {"/Users/ann/Library/Application Support/BramVelt/"};
    c.volume_roots = {"/Data"};
    const SafetyPolicy policy = build_policy(c, "/Users/ann/x");
    expect_all(policy, {
                           {"/Volumes/Backup", kRefused, kCodeVolumeRoot},
                           {"/Volumes/Backup/Projects", kAllowed, ""},
                           {"/Volumes", kRefused, kCodeEssentialFolder},
                           {"/media/ann/usb", kRefused, kCodeVolumeRoot},
                           {"/media/usb", kRefused, kCodeVolumeRoot},
                           {"/media/ann/usb/x", kAllowed, ""},
                           {"/mnt/a", kRefused, kCodeVolumeRoot},
                           {"/mnt/a/b", kAllowed, ""},
                           {"/", kRefused, kCodeProtectedLocation},
                           {"/Users", kRefused, kCodeProtectedLocation},
                           {"/Users/ann", kRefused, kCodeProtectedLocation},
                           {"/Users/annex", kAllowed, ""},
                           {"/Users/ann/Documents", kRefused, kCodeEssentialFolder},
                           {"/Users/ann/Downloads", kRefused, kCodeEssentialFolder},
                           {"/Users/ann/Documents/report", kAllowed, ""},
                           {"/Users/ann/Library/Caches/x", kAck, kCodeApplicationData},
                           {"/Users/ann/Library/Keychains/x", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/Library", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/.config", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/.config/tool", kAck, kCodeApplicationData},
                           {"/Users/ann/.ssh/id_ed25519", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/.aws/credentials", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/.aws", kRefused, kCodeProtectedLocation},
                           {"/Users/ann/.aws/other", kAllowed, ""},
                           {"/Users/ann/project/.cache", kAck, kCodeHiddenData},
                           {"/Users/ann/project/cache", kAllowed, ""},
                           {"/Users/ann/Applications/Tool.app", kAck, kCodeApplicationData},
                           {"/Users/ann/Library/Application Support/BramVelt", kRefused,
                            kCodeProtectedLocation},
                           {"/Users/ann/Library/Application Support/BramVelt/state", kRefused,
                            kCodeProtectedLocation},
                           {"/usr/local/x", kAck, kCodeApplicationData},
                           {"/usr/local", kRefused, kCodeEssentialFolder},
                           {"/usr/lib/x", kRefused, kCodeProtectedLocation},
                           {"/var/folders/x/T/item", kAck, kCodeApplicationData},
                           {"/private/var/folders/x/T/item", kAck, kCodeApplicationData},
                           {"/private/var/db/x", kRefused, kCodeProtectedLocation},
                           {"/System/Library", kRefused, kCodeProtectedLocation},
                           {"/Applications/Tool.app", kAck, kCodeApplicationData},
                           {"/library/keychains", kAllowed, ""},
                           {"/proc/1", kRefused, kCodeProtectedLocation},
                           {"/Data", kRefused, kCodeEssentialFolder},
                           {"/Data/x", kAllowed, ""},
                           {"/tmp/x", kAllowed, ""},
                           {"/tmp/x/.git", kAck, kCodeHiddenData},
                       });
}

TEST(ClassifyPath, LinuxForm) {
    const SafetyPolicy policy = build_policy(remote("/home/ann", HostOs::Linux), "/home/ann");
    expect_all(policy, {
                           {"/Applications/x", kAllowed, ""},
                           {"/Library/x", kAllowed, ""},
                           {"/System", kAllowed, ""},
                           {"/proc/1", kRefused, kCodeProtectedLocation},
                           {"/etc", kRefused, kCodeProtectedLocation},
                           {"/home", kRefused, kCodeProtectedLocation},
                           {"/home/ann", kRefused, kCodeProtectedLocation},
                           {"/home/bob", kAllowed, ""},
                           {"/home/ann/.local/share/x", kAck, kCodeApplicationData},
                           {"/home/ann/.local", kRefused, kCodeEssentialFolder},
                           {"/home/ann/.gnupg", kRefused, kCodeProtectedLocation},
                           {"/snap/tool", kAck, kCodeApplicationData},
                           {"/nix/store/x", kAck, kCodeApplicationData},
                           {"/srv", kRefused, kCodeEssentialFolder},
                           {"/media/usb", kRefused, kCodeVolumeRoot},
                           {"/home/ann/src/app/target", kAllowed, ""},
                       });
}

TEST(ClassifyPath, WindowsFormUsesTheTargetsDrive) {
    const PolicyContext c = remote("C:/Users/ann", HostOs::Windows);
    const SafetyPolicy on_d = build_policy(c, "D:/work/x");
    EXPECT_NE(std::find(on_d.essential.begin(), on_d.essential.end(), "D:/"), on_d.essential.end());
    EXPECT_NE(std::find(on_d.essential.begin(), on_d.essential.end(), "D:/Users"),
              on_d.essential.end());
    expect_all(on_d, {
                         {"D:/Windows", kRefused, kCodeProtectedLocation},
                         {"C:/Windows", kAllowed, ""},
                         {"D:/work/x", kAllowed, ""},
                         {"D:/", kRefused, kCodeProtectedLocation},
                     });

    const SafetyPolicy on_c = build_policy(c, "C:/Users/ann/x");
    expect_all(on_c, {
                         {"C:/Windows/System32", kRefused, kCodeProtectedLocation},
                         {"C:/$Recycle.Bin", kRefused, kCodeProtectedLocation},
                         {"c:/windows", kAllowed, ""},
                         {"C:/Program Files", kRefused, kCodeEssentialFolder},
                         {"C:/Program Files (x86)/Tool", kAck, kCodeApplicationData},
                         {"C:/ProgramData/x", kAck, kCodeApplicationData},
                         {"C:/Users/ann", kRefused, kCodeProtectedLocation},
                         {"C:/Users/ann/ntuser.dat", kRefused, kCodeProtectedLocation},
                         {"C:/Users/ann/AppData", kRefused, kCodeProtectedLocation},
                         {"C:/Users/ann/AppData/Local/Temp/x", kAck, kCodeApplicationData},
                         {"C:/Users/ann/Documents", kRefused, kCodeEssentialFolder},
                         {"C:/Users/ann/.aws/config", kRefused, kCodeProtectedLocation},
                         {"C:/Users/ann/src/bin", kAck, kCodeApplicationData},
                         {"C:/src/.vs", kAck, kCodeHiddenData},
                         {"C:/src/bin", kAllowed, ""},
                         // No volume-root rule in the drive form.
                         {"C:/mnt/a", kAllowed, ""},
                     });
}

TEST(BuildPolicy, LocalAddsAccountHomesRealLocationsAndTheExecutable) {
    TempDir tmp;
    const std::string home = tmp.make_dir("home");
    ScopedEnv env("HOME", home.c_str());
    // Credential file links to a file elsewhere; another lives in a linked folder and is
    // missing, so it is protected at its real parent.
    const std::string secret = tmp.write_file("elsewhere/secret", "key");
    tmp.make_dir("home/.aws");
    fs::create_symlink(secret, home + "/.aws/credentials");
    const std::string rclone_real = tmp.make_dir("rclone-real");
    tmp.make_dir("home/.config");
    fs::create_directory_symlink(rclone_real, home + "/.config/rclone");
    // An extra protected path reached through a link.
    const std::string state_real = tmp.make_dir("state-real");
    fs::create_directory_symlink(state_real, tmp / "state-link");

    PolicyContext c;
    c.home = home;
    c.protected_paths = {tmp / "state-link/"};
    const SafetyPolicy policy = build_policy(c, home + "/x");
    const std::string exe = platform::current_exe_path().value();

    expect_all(policy,
               {
                   {secret, kRefused, kCodeProtectedLocation},
                   {tmp / "elsewhere", kRefused, kCodeProtectedLocation},
                   {rclone_real + "/rclone.conf", kRefused, kCodeProtectedLocation},
                   {rclone_real + "/other", kAllowed, ""},
                   {tmp / "state-link", kRefused, kCodeProtectedLocation},
                   {state_real + "/x", kRefused, kCodeProtectedLocation},
                   {home + "/project", kAllowed, ""},
                   {"/root", kRefused, kCodeProtectedLocation},  // the account record's home
                   {exe, kRefused, kCodeProtectedLocation},
                   {fs::path(exe).parent_path().string(), kRefused, kCodeProtectedLocation},
                   {exe + ".d", kAllowed, ""},
               });
}

TEST(BuildPolicy, RemoteAddsNothingOfThisMachine) {
    const SafetyPolicy policy = build_policy(remote("/home/ann", HostOs::Linux), "/home/ann");
    const std::string exe = platform::current_exe_path().value();
    EXPECT_EQ(classify_path(policy, exe).verdict, kAllowed);
    EXPECT_EQ(std::find(policy.essential.begin(), policy.essential.end(), "/root"),
              policy.essential.end());
}

}  // namespace
}  // namespace bramvelt::policy
