#include "core/cleanup/validation.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "cleanup_fixture.hpp"
#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/removal_entry.hpp"
#include "core/filesystem/identity.hpp"
#include "core/policy/classification.hpp"
#include "platform/file_flags.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

class ValidationTest : public CleanupTest {
  protected:
    ~ValidationTest() override { platform::clear_dataless_marks_for_testing(); }

    std::string failure(const CleanupPlan& plan, const CancelFlag& cancel = make_cancel_flag()) {
        auto result = validate_cleanup_plan(plan, cancel);
        if (result) return "(authorized)";
        return result.error();
    }
};

TEST_F(ValidationTest, ItemCountAndIds) {
    tmp_.write_file("work/a");
    tmp_.write_file("work/b");
    CleanupPlan plan = plan_of({});
    EXPECT_EQ(failure(plan), kItemCount);
    plan.items.assign(4097, CleanupItem{std::nullopt, "same", at("a")});
    EXPECT_EQ(failure(plan), kItemCount);
    // 4,096 items pass the count and stop at the duplicate id.
    plan.items.resize(4096);
    EXPECT_EQ(failure(plan), kItemIds);

    const std::vector<std::vector<std::string>> bad_ids = {
        {""}, {std::string(257, 'i')}, {"x", "x"}};
    for (const auto& ids : bad_ids) {
        CleanupPlan p = plan_of({"a", "b"});
        p.items.resize(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) p.items[i].item_id = ids[i];
        EXPECT_EQ(failure(p), kItemIds) << ids.front().size();
    }
    CleanupPlan longest = plan_of({"a"});
    longest.items[0].item_id = std::string(256, 'i');
    EXPECT_EQ(failure(longest), "(authorized)");
}

TEST_F(ValidationTest, ItemsInsideTheRootAndApart) {
    tmp_.make_dir("work/a/b/c");
    tmp_.make_dir("work/a/bc");
    tmp_.write_file("outside/f");
    struct Case {
        std::vector<std::string> items;
        std::string_view failure;
    };
    const std::vector<Case> cases = {
        {{"a/b", "a/bc"}, "(authorized)"},  // /a/bc is not inside /a/b
        {{"a/b", "a/b/c"}, kSelectionsOverlap}, {{"a/b/c", "a/b"}, kSelectionsOverlap},
        {{"a/b", "a/b/"}, kSelectionsOverlap},  {{"."}, kOutsideScanRoot},
        {{"../outside/f"}, kOutsideScanRoot},   {{"a/b/.."}, "(authorized)"},  // normalized to a
    };
    for (const Case& c : cases) {
        EXPECT_EQ(failure(plan_of(c.items)), c.failure) << c.items.front();
    }
    CleanupPlan root_item = plan_of({"a"});
    root_item.items[0].path = "/";
    // The policy refuses the root before its own check could.
    EXPECT_EQ(failure(root_item), policy::kMountedFilesystemRoot);
}

TEST_F(ValidationTest, LinksOnTheWayAreResolvedButTheItemItselfIsNot) {
    const std::string real = tmp_.make_dir("work/real");
    tmp_.write_file("work/real/item/f", "12345");
    tmp_.write_file("target/keep", "x");
    fs::create_directory_symlink(real, at("via"));
    fs::create_directory_symlink(tmp_ / "target", at("real/link"));
    const std::uint64_t bytes = disk_bytes(at("real/item"));

    CleanupPlan plan = plan_of({"via/item", "via/link"});
    plan.scan_root = at("via");  // a root reached through a link is resolved too
    auto items = validate_cleanup_plan(plan, make_cancel_flag());
    ASSERT_TRUE(items) << items.error();
    ASSERT_EQ(items->size(), 2u);
    const AuthorizedItem& folder = (*items)[0];
    EXPECT_EQ(folder.canonical_path, real + "/item");
    EXPECT_EQ(folder.path, at("via/item"));
    EXPECT_EQ(folder.identity.kind, "directory");
    EXPECT_EQ(folder.bytes, bytes);
    EXPECT_EQ(folder.snapshot->size(), 2u);
    EXPECT_TRUE(folder.snapshot->find(real + "/item/f"));

    const AuthorizedItem& link = (*items)[1];
    EXPECT_EQ(link.canonical_path, real + "/link");
    EXPECT_EQ(link.identity.kind, "symlink");
    EXPECT_EQ(link.bytes, 0u);
    EXPECT_EQ(link.snapshot->size(), 1u);
    EXPECT_FALSE(link.snapshot->find(real + "/link/keep"));
}

TEST_F(ValidationTest, SpecialEntriesMountsAndPlaceholdersAreRefused) {
    // A fifo, a socket and a device node inside an item, and a fifo as the item itself.
    tmp_.write_file("work/fifo/ok");
    ASSERT_EQ(::mkfifo(at("fifo/pipe").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(at("bare-pipe").c_str(), 0600), 0);
    tmp_.make_dir("work/socket");
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = at("socket/s");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(sock);
    tmp_.make_dir("work/device");
    const bool device = ::mknod(at("device/null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    tmp_.write_file("work/cloud/deep/placeholder");
    struct stat st {};
    ASSERT_EQ(::stat(at("cloud/deep/placeholder").c_str(), &st), 0);
    platform::mark_dataless_for_testing(st.st_dev, st.st_ino);

    EXPECT_EQ(failure(plan_of({"fifo"})), kSpecialEntry);
    EXPECT_EQ(failure(plan_of({"bare-pipe"})), kSpecialEntry);
    EXPECT_EQ(failure(plan_of({"socket"})), kSpecialEntry);
    if (device) {
        EXPECT_EQ(failure(plan_of({"device"})), kSpecialEntry);
    }
    EXPECT_EQ(failure(plan_of({"cloud"})), kCloudPlaceholder);
    EXPECT_TRUE(exists_nofollow(at("fifo/ok")));
}

TEST_F(ValidationTest, PolicyJudgesEveryEntryBelowAnItem) {
    tmp_.write_file("work/item/.hidden-file");
    tmp_.write_file("work/item/.hidden-dir/f");
    tmp_.write_file("work/.dot-item/f");
    tmp_.write_file("work/guarded/deep/keep");

    EXPECT_EQ(failure(plan_of({"item"})), "(authorized)");
    EXPECT_EQ(failure(plan_of({".dot-item"})), policy::kAcknowledgementRequired);
    CleanupPlan acknowledged = plan_of({".dot-item"});
    acknowledged.acknowledged = policy::Acknowledgement::Given;
    EXPECT_EQ(failure(acknowledged), "(authorized)");

    // A protected path below an item refuses the whole item.
    context_.protected_paths.push_back(at("guarded/deep/keep"));
    EXPECT_EQ(failure(plan_of({"guarded"})), policy::kProtectedLocation);

    context_.home = tmp_.make_dir("someone-else");
    EXPECT_EQ(failure(plan_of({"item"})), policy::kLocalHomeMismatch);
}

TEST_F(ValidationTest, IdentityHardLinksAndCancellation) {
    tmp_.write_file("work/item/f", "abc");
    tmp_.write_file("work/item/sub/g", "defg");
    ASSERT_EQ(::link(at("item/f").c_str(), at("item/sub/f2").c_str()), 0);
    // The space each entry takes on its own, the file with two links once.
    const auto own = [&](const char* relative) {
        struct stat st {};
        EXPECT_EQ(::lstat(at(relative).c_str(), &st), 0);
        return static_cast<std::uint64_t>(st.st_blocks) * 512;
    };
    const std::uint64_t bytes = own("item") + own("item/f") + own("item/sub") + own("item/sub/g");

    auto identity = filesystem::read_identity(at("item"));
    ASSERT_TRUE(identity);
    CleanupPlan plan = plan_of({"item"});
    plan.items[0].expected_identity = *identity;
    auto items = validate_cleanup_plan(plan, make_cancel_flag());
    ASSERT_TRUE(items) << items.error();
    EXPECT_EQ((*items)[0].expected_identity, *identity);
    EXPECT_EQ((*items)[0].bytes, bytes);
    EXPECT_EQ((*items)[0].snapshot->size(), 5u);

    plan.items[0].expected_identity->size += 1;
    EXPECT_EQ(failure(plan), kItemChangedSinceConfirmation);

    EXPECT_EQ(failure(plan_of({"item"}, CleanupAction::overwrite())), kOverwriteHardLinks);

    const CancelFlag cancel = make_cancel_flag();
    cancel->store(true);
    EXPECT_EQ(failure(plan_of({"item"}), cancel), "Cleanup cancelled");
}

TEST_F(ValidationTest, SnapshotUnchangedUntilAnEntryChanges) {
    tmp_.write_file("work/item/f", "abc");
    tmp_.write_file("work/item/sub/g", "defg");
    auto items = validate_cleanup_plan(plan_of({"item"}), make_cancel_flag());
    ASSERT_TRUE(items) << items.error();
    const TreeSnapshot& stored = *(*items)[0].snapshot;
    const std::string item = (*items)[0].canonical_path;
    const auto verify = [&] {
        auto same = verify_snapshot_unchanged(item, stored, make_cancel_flag(),
                                              policy::Acknowledgement::Missing);
        return same ? std::string("(unchanged)") : same.error();
    };
    EXPECT_EQ(verify(), "(unchanged)");
    const auto unknown = verify_snapshot_unchanged(
        item + "/sub", TreeSnapshot{}, make_cancel_flag(), policy::Acknowledgement::Missing);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), kSnapshotIncomplete);
    const auto elsewhere = verify_snapshot_unchanged(item + "/nothing", stored, make_cancel_flag(),
                                                     policy::Acknowledgement::Missing);
    ASSERT_FALSE(elsewhere);
    EXPECT_EQ(elsewhere.error(), kSnapshotIncomplete);

    tmp_.write_file("work/item/sub/new");
    EXPECT_EQ(verify(), kSourceChanged);
    fs::remove(at("item/sub/new"));
    fs::remove(at("item/f"));
    EXPECT_EQ(verify(), kSourceChanged);
    tmp_.write_file("work/item/f", "abc");  // same content, new inode
    EXPECT_EQ(verify(), kSourceChanged);
}

}  // namespace
}  // namespace bramvelt::cleanup
