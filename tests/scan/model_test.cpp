#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "scan/frontier.hpp"
#include "scan/options.hpp"
#include "scan/session.hpp"
#include "scan/tree.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::scan {
namespace {

std::shared_ptr<ScanSession> session_with_table(std::optional<std::string> table) {
    return std::make_shared<ScanSession>(ScanOptions{}, std::make_unique<platform::NullWriter>(),
                                         make_cancel_flag(), table);
}

TEST(ParseProfile, AcceptsItsWordsInAnyCase) {
    const struct {
        const char* word;
        std::optional<ScanProfile> expected;
    } cases[] = {
        {"DEV", ScanProfile::Dev},
        {"Development", ScanProfile::Dev},
        {"Server", ScanProfile::General},
        {"DEFAULT", ScanProfile::General},
        {"general", ScanProfile::General},
        {"developer", std::nullopt},
        {"prod", std::nullopt},
        {"", std::nullopt},
        {"d\xC3\xA9v", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_profile(c.word), c.expected) << c.word;
    }
}

TEST(DirectoryClass, OrdersKnownNamesUnderDevOnly) {
    const struct {
        ScanProfile profile;
        const char* name;
        WalkPriority expected;
    } cases[] = {
        {ScanProfile::General, "Users", WalkPriority::early},
        {ScanProfile::General, "node_modules", WalkPriority::early},
        {ScanProfile::Dev, "Users", WalkPriority::first},
        {ScanProfile::Dev, "DOWNLOADS", WalkPriority::first},
        {ScanProfile::Dev, "Projects", WalkPriority::early},
        {ScanProfile::Dev, "Library", WalkPriority::late},
        {ScanProfile::Dev, ".Spotlight-V100", WalkPriority::late},
        {ScanProfile::Dev, "__pycache__", WalkPriority::last},
        {ScanProfile::Dev, "node_modules", WalkPriority::normal},
        {ScanProfile::Dev, "src", WalkPriority::normal},
        {ScanProfile::Dev, "", WalkPriority::normal},
        {ScanProfile::Dev, "\xC3\x9Csers", WalkPriority::normal},
        // Only A to Z are lowered here: a Kelvin sign is no "k".
        {ScanProfile::Dev, "Des\xE2\x84\xAAtop", WalkPriority::normal},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(directory_class(c.profile, c.name), c.expected) << c.name;
    }
}

TEST(FrontierClass, UsesTheLowerCasedLastComponent) {
    const struct {
        const char* path;
        WalkPriority expected;
    } cases[] = {
        {"/Users", WalkPriority::first},
        {"/x/USERS", WalkPriority::first},
        {"/home", WalkPriority::first},
        {"/a/Node_Modules", WalkPriority::early},
        {"/a/.git", WalkPriority::early},
        {"/a/target", WalkPriority::early},
        {"/a/__pycache__", WalkPriority::normal},
        {"/", WalkPriority::normal},
        {"/a/..", WalkPriority::normal},
        {"/a/src", WalkPriority::normal},
        // The Kelvin sign lower-cases to "k"; other non-ASCII letters match nothing.
        {"/a/WOR\xE2\x84\xAASPACE", WalkPriority::early},
        {"/a/.wor\xE2\x84\xAAtrees", WalkPriority::early},
        {"/a/\xC3\x9Csers", WalkPriority::normal},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frontier_class(c.path), c.expected) << c.path;
    }
}

TEST(MountTable, KeepsPseudoFileSystemsAndDecodesOctalEscapes) {
    const struct {
        std::string table;
        std::vector<std::string> expected;
    } cases[] = {
        {"proc /proc proc rw 0 0\n", {"/proc"}},
        {"tmpfs /tmp tmpfs rw 0 0\n", {}},
        {"x /mnt/a\\040b proc rw 0 0\n", {"/mnt/a b"}},
        {"x /mnt/a\\400b proc rw\n", {"/mnt/a\\400b"}},  // above 255: kept as typed
        {"x /a\\04 proc rw\n", {"/a\\04"}},              // too short for an escape
        {"sysfs /sys sysfs rw\r\ncgroup2 /sys/fs/cgroup cgroup2 rw\n", {"/sys", "/sys/fs/cgroup"}},
        {"proc /p proc\nproc /p proc\n", {"/p", "/p"}},
        {"proc\t/tabs\u3000proc\n", {"/tabs"}},  // Unicode white space separates too
        {"only two\nProc /x PROC rw\n", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pseudo_mounts_from_table(c.table), c.expected) << c.table;
    }
}

TEST(ExcludedPaths, DefaultsApplyWithoutAUsableTable) {
    for (const auto& table :
         std::vector<std::optional<std::string>>{std::nullopt, std::string("tmpfs /tmp tmpfs rw\n"),
                                                 std::string("proc /\xFF proc\n")}) {
        auto session = session_with_table(table);
        EXPECT_EQ(session->excluded_mounts, (std::vector<std::string>{"/proc", "/sys"}));
        EXPECT_TRUE(is_excluded_path(*session, "/proc"));
        EXPECT_TRUE(is_excluded_path(*session, "/sys"));
        EXPECT_TRUE(is_excluded_path(*session, "/proc/1/fd"));
        for (const char* path : {"/proc2", "/process", "/sysroot", "/"}) {
            EXPECT_FALSE(is_excluded_path(*session, path)) << path;
        }
    }
}

TEST(ExcludedPaths, ATableReplacesTheDefaults) {
    auto session = session_with_table("proc /host/proc/ proc rw 0 0\n");
    EXPECT_EQ(session->excluded_prefixes, (std::vector<std::string>{"/host/proc/"}));
    EXPECT_TRUE(is_excluded_path(*session, "/host/proc/1"));
    EXPECT_FALSE(is_excluded_path(*session, "/proc"));
}

TEST(ExcludedPaths, TheRealMountTableExcludesProc) {
    auto session = std::make_shared<ScanSession>(
        ScanOptions{}, std::make_unique<platform::NullWriter>(), make_cancel_flag());
    EXPECT_TRUE(is_excluded_path(*session, "/proc"));
}

TEST(NodeDisplayName, TakesTheLastComponent) {
    EXPECT_EQ(node_display_name("/Users/ann/src"), "src");
    EXPECT_EQ(node_display_name("/"), "/");
    EXPECT_EQ(node_display_name("/Users/ann/"), "/Users/ann/");
    EXPECT_EQ(node_display_name("plain"), "plain");
}

TEST(ScanHomeDir, NeedsAUtf8Value) {
    {
        testing::ScopedEnv home("HOME", nullptr);
        EXPECT_EQ(scan_home_dir(), std::nullopt);
    }
    {
        testing::ScopedEnv home("HOME", "\xFF\xFE");
        EXPECT_EQ(scan_home_dir(), std::nullopt);
    }
    {
        testing::ScopedEnv home("HOME", "");
        EXPECT_EQ(scan_home_dir(), std::string());
    }
}

TEST(EmitEvent, AFailingCallbackClosesTheOutputButIsStillCalled) {
    auto session = session_with_table(std::nullopt);
    int calls = 0;
    set_event_callback(*session, [&](ScanEvent) -> std::expected<void, std::string> {
        ++calls;
        return std::unexpected(std::string("gone"));
    });
    emit_event(*session, ProgressEvent{"/a", 1, 2, 3, 4});
    EXPECT_TRUE(session->output_closed.load());
    EXPECT_TRUE(session->cancelled());
    emit_event(*session, ProgressEvent{"/b", 1, 2, 3, 4});
    EXPECT_EQ(calls, 2);
}

// A writer whose writes fail after a number of bytes.
class FailingWriter final : public platform::Writer {
  public:
    explicit FailingWriter(std::string* text) : text_(text) {}
    bool write(std::string_view bytes) override {
        text_->append(bytes);
        return true;
    }
    bool flush() override { return !fail_; }
    bool fail_ = false;

  private:
    std::string* text_;
};

TEST(EmitEvent, WithoutCallbackWritesOneJsonLinePerEvent) {
    std::string text;
    auto writer = std::make_unique<FailingWriter>(&text);
    FailingWriter* raw = writer.get();
    auto session = std::make_shared<ScanSession>(ScanOptions{}, std::move(writer),
                                                 make_cancel_flag(), std::nullopt);
    TreeNode leaf;
    leaf.path = "/t";
    emit_event(*session, ProgressEvent{"/a\"b", -5, 2, 3, 4});
    emit_event(*session, CompleteEvent{&leaf});
    emit_event(*session, ErrorEvent{"cancelled", "scan cancelled", &leaf});
    emit_event(*session, ErrorEvent{"scanFailed", "not a directory: x", nullptr});
    const std::string node =
        R"({"path":"/t","name":"t","kind":"directory","size":0,"fileCount":0,)"
        R"("modificationDate":null,"isReadable":true,"isScanning":false,"children":[]})";
    EXPECT_EQ(
        text,
        R"({"type":"progress","bytesScanned":-5,"filesScanned":2,"directoriesScanned":3,)"
        R"("unreadableItems":4,"currentPath":"/a\"b"})"
        "\n"
        R"({"type":"complete","tree":)" +
            node + "}\n" +
            R"({"type":"error","code":"cancelled","message":"scan cancelled","partialTree":)" +
            node + "}\n" +
            R"({"type":"error","code":"scanFailed","message":"not a directory: x"})"
            "\n");
    EXPECT_FALSE(session->output_closed.load());
    raw->fail_ = true;
    emit_event(*session, ProgressEvent{"/a", 0, 0, 0, 0});
    EXPECT_TRUE(session->output_closed.load());
    EXPECT_TRUE(session->cancelled());
}

TEST(MergeChildren, RollsStatesUpAndKeepsEqualSizesInOrder) {
    const auto child = [](std::string path, std::int64_t size, NodeState state,
                          bool readable = true) {
        TreeNode n;
        n.path = std::move(path);
        n.size = size;
        n.file_count = 1;
        n.state = state;
        n.is_readable = readable;
        return n;
    };
    {
        TreeNode dir;
        dir.children.push_back(child("/d/own", 5, NodeState::Normal));
        NodeList kids;
        kids.push_back(child("/d/z", 5, NodeState::Normal));
        kids.push_back(child("/d/a", 9, NodeState::Scanning));
        TreeNode snapshot = dir;
        merge_children(snapshot, kids, TreePurpose::snapshot);
        EXPECT_EQ(snapshot.state, NodeState::Scanning);
        merge_children(dir, std::move(kids), TreePurpose::final_tree);
        EXPECT_EQ(dir.state, NodeState::Incomplete);
        EXPECT_EQ(dir.size, 14);
        EXPECT_EQ(dir.file_count, 2);
        ASSERT_EQ(dir.children.size(), 3u);
        EXPECT_EQ(dir.children[0].path, "/d/a");
        EXPECT_EQ(dir.children[1].path, "/d/own");
        EXPECT_EQ(dir.children[2].path, "/d/z");
    }
    {
        TreeNode mount;
        mount.state = NodeState::MountPoint;
        merge_children(mount, {child("/m/a", 1, NodeState::Scanning)}, TreePurpose::final_tree);
        EXPECT_EQ(mount.state, NodeState::MountPoint);
        merge_children(mount, {child("/m/b", 1, NodeState::Normal, false)},
                       TreePurpose::final_tree);
        EXPECT_EQ(mount.state, NodeState::Incomplete);
    }
    {
        // A file system may report any allocation; totals stop at the largest size.
        constexpr std::int64_t huge = std::numeric_limits<std::int64_t>::max() - 10;
        TreeNode dir;
        merge_children(
            dir, {child("/h/a", huge, NodeState::Normal), child("/h/b", huge, NodeState::Normal)},
            TreePurpose::final_tree);
        EXPECT_EQ(dir.size, std::numeric_limits<std::int64_t>::max());
        std::atomic<std::int64_t> scanned{huge};
        saturating_add(scanned, huge);
        EXPECT_EQ(scanned.load(), std::numeric_limits<std::int64_t>::max());
        std::atomic<std::uint64_t> saved{std::numeric_limits<std::uint64_t>::max() - 1};
        saturating_add(saved, 5);
        EXPECT_EQ(saved.load(), std::numeric_limits<std::uint64_t>::max());
        std::atomic<std::uint64_t> job{10};
        saturating_add(job, static_cast<std::uint64_t>(huge), static_cast<std::uint64_t>(huge));
        EXPECT_EQ(job.load(), static_cast<std::uint64_t>(huge));
    }
}

}  // namespace
}  // namespace bramvelt::scan
