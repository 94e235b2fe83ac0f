#include "core/policy/decision.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/policy/normalize.hpp"
#include "platform/file_flags.hpp"
#include "platform/self_exe.hpp"
#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::policy {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

// A real folder tree with a home of its own (as root, /root is protected).
class PathDecisionTest : public ::testing::Test {
  protected:
    PathDecisionTest() : home_(tmp_.make_dir("home")), env_("HOME", home_.c_str()) {
        context_.home = home_;
        context_.protected_paths = {home_ + "/Library/Application Support/BramVelt"};
        proj_ = tmp_.make_dir("proj");
    }
    ~PathDecisionTest() override { platform::clear_dataless_marks_for_testing(); }

    PathDecision decide(const std::string& path) const {
        return evaluate_path_policy(context_, path);
    }

    TempDir tmp_;
    std::string home_;
    ScopedEnv env_;
    PolicyContext context_;
    std::string proj_;
};

// Refusals by a check carry the path as passed and nothing else.
void expect_check_refusal(const PathDecision& d, const std::string& path, std::string_view code,
                          std::string_view message) {
    EXPECT_EQ(d.verdict, PolicyVerdict::Refused);
    EXPECT_EQ(d.path, path);
    EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(code)}));
    EXPECT_EQ(d.messages, (std::vector<std::string>{std::string(message)}));
    EXPECT_FALSE(d.identity);
    EXPECT_FALSE(d.canonical_path);
    EXPECT_FALSE(d.is_symlink);
}

TEST_F(PathDecisionTest, RefusedByChecks) {
    tmp_.make_dir("proj/d");
    struct Case {
        std::string path;
        std::string_view code;
        std::string_view message;
    };
    const std::vector<Case> cases = {
        {"relative/x", kCodeInvalidPath, kAbsolutePathRequired},
        {"", kCodeInvalidPath, kPathEmptyNulOrLong},
        {std::string("/tmp/a\0b", 8), kCodeInvalidPath, kPathEmptyNulOrLong},
        {"/" + std::string(32768, 'a'), kCodeInvalidPath, kPathEmptyNulOrLong},
        {proj_ + "/../../../../../../../../../..", kCodeInvalidPath, kPathEscapesRoot},
        {proj_ + "/missing", kCodeMissingOrInaccessible, kMissingOrInaccessible},
        {proj_ + "/d/../missing/", kCodeMissingOrInaccessible, kMissingOrInaccessible},
        {"/", kCodeVolumeRoot, kMountedFilesystemRoot},
        {"///", kCodeVolumeRoot, kMountedFilesystemRoot},
        {"/proc", kCodeVolumeRoot, kMountedFilesystemRoot},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.substr(0, 60));
        expect_check_refusal(decide(c.path), c.path, c.code, c.message);
    }
}

TEST_F(PathDecisionTest, InvalidContextIsReportedFirst) {
    for (const char* home : {"/", "////", "/a/..", "ab"}) {
        SCOPED_TRACE(home);
        PolicyContext bad = context_;
        bad.home = home;
        const PathDecision d = evaluate_path_policy(bad, "relative");
        ASSERT_EQ(d.codes.size(), 1u);
        EXPECT_EQ(d.codes[0], kCodeContextInvalid);
        EXPECT_EQ(d.path, "relative");
        EXPECT_EQ(d.verdict, PolicyVerdict::Refused);
    }
    PolicyContext root_home = context_;
    root_home.home = "/";
    expect_check_refusal(evaluate_path_policy(root_home, "rel"), "rel", kCodeContextInvalid,
                         kExplicitHomeRequired);
}

TEST_F(PathDecisionTest, OrdinaryEntriesCarryIdentityAndRealPath) {
    const std::string build = tmp_.make_dir("proj/build");
    const PathDecision d = decide(proj_ + "//build/");
    EXPECT_EQ(d.verdict, PolicyVerdict::Allowed);
    EXPECT_TRUE(d.messages.empty());
    EXPECT_TRUE(d.codes.empty());
    EXPECT_EQ(d.path, proj_ + "//build/");
    EXPECT_EQ(d.canonical_path, build);
    ASSERT_TRUE(d.identity);
    EXPECT_EQ(d.identity->kind, "directory");
    EXPECT_EQ(*d.identity, filesystem::read_identity(build).value());
    EXPECT_FALSE(d.is_symlink);

    tmp_.make_dir("proj/.cache");
    const PathDecision hidden = decide(proj_ + "/.cache");
    EXPECT_EQ(hidden.verdict, PolicyVerdict::NeedsAcknowledgement);
    EXPECT_EQ(hidden.codes, (std::vector<std::string>{std::string(kCodeHiddenData)}));
    EXPECT_TRUE(hidden.identity);
}

TEST_F(PathDecisionTest, LinksAreJudgedByWhereTheyLead) {
    fs::create_directory_symlink("/etc", proj_ + "/etc-link");
    const PathDecision to_etc = decide(proj_ + "/etc-link");
    EXPECT_EQ(to_etc.verdict, PolicyVerdict::Refused);
    EXPECT_EQ(to_etc.codes, (std::vector<std::string>{std::string(kCodeProtectedLocation)}));
    EXPECT_TRUE(to_etc.is_symlink);
    EXPECT_EQ(to_etc.canonical_path, "/etc");
    ASSERT_TRUE(to_etc.identity);
    EXPECT_EQ(to_etc.identity->kind, "symlink");

    // A dangling link is judged at its own location under its real parent.
    fs::create_directory_symlink(proj_, tmp_ / "via");
    fs::create_symlink(proj_ + "/nowhere", proj_ + "/dangling");
    const PathDecision dangling = decide(tmp_ / "via/dangling");
    EXPECT_EQ(dangling.verdict, PolicyVerdict::Allowed);
    EXPECT_TRUE(dangling.is_symlink);
    EXPECT_EQ(dangling.canonical_path, proj_ + "/dangling");
    EXPECT_EQ(dangling.identity->kind, "symlink");

    // A link to itself cannot be resolved either: judged at its own location.
    fs::create_symlink("loop", proj_ + "/loop");
    EXPECT_EQ(decide(proj_ + "/loop").canonical_path, proj_ + "/loop");
}

TEST_F(PathDecisionTest, TheStricterClassificationWins) {
    // Allowed as given, needs acknowledgement where it leads.
    tmp_.make_dir("other/.stash");
    fs::create_directory_symlink(tmp_ / "other/.stash", proj_ + "/stash");
    const PathDecision to_hidden = decide(proj_ + "/stash");
    EXPECT_EQ(to_hidden.verdict, PolicyVerdict::NeedsAcknowledgement);
    EXPECT_EQ(to_hidden.codes, (std::vector<std::string>{std::string(kCodeHiddenData)}));

    // Refused as given, allowed where it leads: stays refused.
    tmp_.make_dir("proj/keys");
    fs::create_directory_symlink(proj_ + "/keys", home_ + "/.ssh");
    const PathDecision ssh = decide(home_ + "/.ssh");
    EXPECT_EQ(ssh.verdict, PolicyVerdict::Refused);
    EXPECT_EQ(ssh.codes, (std::vector<std::string>{std::string(kCodeProtectedLocation)}));

    // Two acknowledgements: the given form's reason stands.
    tmp_.make_dir("home/.config/tool");
    fs::create_directory_symlink(home_ + "/.config/tool", proj_ + "/.tool");
    const PathDecision both = decide(proj_ + "/.tool");
    EXPECT_EQ(both.verdict, PolicyVerdict::NeedsAcknowledgement);
    EXPECT_EQ(both.codes, (std::vector<std::string>{std::string(kCodeHiddenData)}));
    EXPECT_EQ(both.canonical_path, home_ + "/.config/tool");

    // Two refusals: the real location's reason is reported.
    fs::create_directory_symlink("/etc", home_ + "/Documents");
    const PathDecision docs = decide(home_ + "/Documents");
    EXPECT_EQ(docs.verdict, PolicyVerdict::Refused);
    EXPECT_EQ(docs.codes, (std::vector<std::string>{std::string(kCodeProtectedLocation)}));
}

TEST_F(PathDecisionTest, ProtectedPlacesOfThisMachine) {
    const std::string exe = platform::current_exe_path().value();
    for (const std::string& path :
         {exe, fs::path(exe).parent_path().string(), std::string("/proc/1"),
          std::string("/proc/self/fd"), home_, home_ + "/Library/Application Support/BramVelt"}) {
        SCOPED_TRACE(path);
        fs::create_directories(home_ + "/Library/Application Support/BramVelt");
        const PathDecision d = decide(path);
        EXPECT_EQ(d.verdict, PolicyVerdict::Refused);
        EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(kCodeProtectedLocation)}));
    }
}

TEST_F(PathDecisionTest, OnlineOnlyPlaceholdersAreRefusedWhateverTheClass) {
    const std::string file = tmp_.write_file("proj/.cloud-file", "x");
    const std::string dir = tmp_.make_dir("proj/cloud-dir");
    for (const std::string& path : {file, dir}) {
        struct stat st {};
        ASSERT_EQ(::lstat(path.c_str(), &st), 0);
        platform::mark_dataless_for_testing(st.st_dev, st.st_ino);
        expect_check_refusal(decide(path), path, kCodeOnlineOnly, kOnlineOnly);
    }
}

TEST_F(PathDecisionTest, InaccessibleToTheUserIsMissing) {
    const std::string item = tmp_.make_dir("locked/item");
    ::chmod(tmp_.path().c_str(), 0755);
    ::chmod(proj_.c_str(), 0755);
    ::chmod((tmp_ / "locked").c_str(), 0700);
    const int code = testing::run_in_child_as(testing::kNobody, testing::kNobody, [&] {
        const PathDecision d = decide(item);
        return d.codes == std::vector<std::string>{std::string(kCodeMissingOrInaccessible)} ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

TEST_F(PathDecisionTest, BindMountedFolderIsAFileSystemRoot) {
    const std::string source = tmp_.make_dir("proj/source");
    const std::string target = tmp_.make_dir("proj/target");
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
        const PathDecision d = decide(target);
        return d.codes == std::vector<std::string>{std::string(kCodeVolumeRoot)} &&
                       d.messages == std::vector<std::string>{std::string(kMountedFilesystemRoot)}
                   ? 0
                   : 1;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

TEST_F(PathDecisionTest, FolderNamedLikeAVolumeButNotMounted) {
    PolicyContext remote = context_;
    remote.transport = PolicyTransport::remote("box");
    remote.host_os = HostOs::Linux;
    const PathDecision d = evaluate_path_policy(remote, "/media/usb");
    EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(kCodeVolumeRoot)}));
    EXPECT_EQ(d.messages, (std::vector<std::string>{std::string(kMountedVolumeRoot)}));
}

TEST_F(PathDecisionTest, RemoteAndCloudTransports) {
    PolicyContext remote = context_;
    remote.transport = PolicyTransport::remote("box");
    remote.host_os = HostOs::Linux;
    remote.home = "/home/ann";
    const PathDecision d = evaluate_path_policy(remote, "/nowhere/here/.cache/");
    EXPECT_EQ(d.verdict, PolicyVerdict::NeedsAcknowledgement);
    EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(kCodeHiddenData)}));
    EXPECT_EQ(d.path, "/nowhere/here/.cache/");
    EXPECT_FALSE(d.identity);
    EXPECT_FALSE(d.canonical_path);

    PolicyContext windows = remote;
    windows.host_os = HostOs::Windows;
    windows.home = "C:/Users/ann";
    windows.protected_paths.clear();  // POSIX paths are not drive paths: invalid here
    EXPECT_EQ(evaluate_path_policy(windows, "C:\\Windows\\Temp").codes,
              (std::vector<std::string>{std::string(kCodeProtectedLocation)}));
    EXPECT_EQ(evaluate_path_policy(windows, "\\\\server\\share\\x").codes,
              (std::vector<std::string>{std::string(kCodeInvalidPath)}));

    PolicyContext cloud = remote;
    cloud.transport = PolicyTransport::cloud("drive");
    expect_check_refusal(evaluate_path_policy(cloud, "/x"), "/x", kCodeUnsupportedTransport,
                         kCloudUnsupported);
}

TEST_F(PathDecisionTest, AcknowledgementGate) {
    tmp_.make_dir("proj/build");
    tmp_.make_dir("proj/.cache");
    EXPECT_TRUE(require_acknowledgement(context_, proj_ + "/build", Acknowledgement::Missing));
    EXPECT_EQ(
        require_acknowledgement(context_, proj_ + "/.cache", Acknowledgement::Missing).error(),
        kAcknowledgementRequired);
    const auto acknowledged =
        require_acknowledgement(context_, proj_ + "/.cache", Acknowledgement::Given);
    ASSERT_TRUE(acknowledged);
    EXPECT_EQ(acknowledged->verdict, PolicyVerdict::NeedsAcknowledgement);
    EXPECT_EQ(require_acknowledgement(context_, "/etc", Acknowledgement::Given).error(),
              kProtectedLocation);
    EXPECT_EQ(require_acknowledgement(context_, proj_ + "/missing", Acknowledgement::Given).error(),
              kMissingOrInaccessible);
}

// The replaced text of a name that is not UTF-8 can be the name of another entry: such a
// path is refused instead of being decided on the other entry's behalf.
TEST_F(PathDecisionTest, PathBytesThatAreNotUtf8AreRefused) {
    tmp_.make_dir("proj/a\xff");
    tmp_.make_dir("proj/a\xEF\xBF\xBD");  // what the lossy text names
    const std::string raw = proj_ + "/a\xff";
    const auto gate = require_acknowledgement(context_, raw, Acknowledgement::Given);
    ASSERT_FALSE(gate);
    EXPECT_EQ(gate.error(), kPathNotUtf8);
    const PathDecision d = evaluate_path_bytes(context_, raw);
    EXPECT_EQ(d.verdict, PolicyVerdict::Refused);
    EXPECT_EQ(d.codes, (std::vector<std::string>{std::string(kCodeInvalidPath)}));
    EXPECT_EQ(evaluate_path_bytes(context_, proj_ + "/a\xEF\xBF\xBD").verdict,
              PolicyVerdict::Allowed);

    // A broken context is still reported first, as for any other path.
    PolicyContext bad = context_;
    bad.home = "/";
    expect_check_refusal(evaluate_path_bytes(bad, raw), proj_ + "/a\xEF\xBF\xBD",
                         kCodeContextInvalid, kExplicitHomeRequired);
    EXPECT_EQ(require_acknowledgement(bad, raw, Acknowledgement::Given).error(),
              kExplicitHomeRequired);
}

TEST(ResolveThroughParent, JoinsTheRealParentWithTheName) {
    TempDir tmp;
    tmp.make_dir("real");
    fs::create_directory_symlink(tmp / "real", tmp / "via");
    EXPECT_EQ(resolve_through_parent(tmp / "via/x").value(), tmp / "real/x");
    EXPECT_EQ(resolve_through_parent("/").error().message, "Missing filename");
    EXPECT_EQ(resolve_through_parent(tmp / "real/..").error().message, "Missing filename");
    EXPECT_EQ(resolve_through_parent(tmp / "missing/x").error().error_number, ENOENT);
}

}  // namespace
}  // namespace bramvelt::policy
