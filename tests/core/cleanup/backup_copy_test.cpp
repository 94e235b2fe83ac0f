#include "core/cleanup/backup_copy.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "cleanup_fixture.hpp"
#include "core/cleanup/backup_folder.hpp"
#include "core/cleanup/backup_removal.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/file_status.hpp"
#include "platform/xattr.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

class BackupCopyTest : public CleanupTest {
  protected:
    // Copies the item into a reserved folder under `destination`, verifies the copy and
    // the source as the backup step does, then removes the item against the record.
    void back_up_and_remove(const std::string& destination) {
        const std::string real = fs::canonical(destination).string();
        auto reserved = filesystem::open_reserved_dir(real);
        ASSERT_TRUE(reserved) << reserved.error().message;
        const CleanupPlan plan = plan_of({});
        ProgressReporter reporter(plan, make_cancel_flag(), [](const CleanupEvent&) {});
        reporter.acknowledged = policy::Acknowledgement::Given;
        BackupSnapshot snapshot;
        const std::string copy = real + "/item";
        auto copied = copy_item_to_backup(at("item"), copy, *reserved, "item-1", snapshot, reporter);
        ASSERT_TRUE(copied) << copied.error();
        auto source = reverify_backup_source(at("item"), snapshot, reporter);
        ASSERT_TRUE(source) << source.error();
        auto count = verify_backup_copy(copy, snapshot, reporter);
        ASSERT_TRUE(count) << count.error();
        EXPECT_EQ(*count, snapshot.copy().size());
        auto identity = filesystem::read_identity(at("item"));
        ASSERT_TRUE(identity);
        auto removed = remove_item(at("item"), *identity, "item-1", OverwriteFiles::No, &snapshot,
                                   reporter);
        ASSERT_TRUE(removed) << removed.error();
        EXPECT_FALSE(exists_nofollow(at("item")));

        EXPECT_EQ(read_text(copy + "/readonly"), "locked");
        EXPECT_EQ(read_text(copy + "/sub/data"), std::string(300'000, 'd'));
        EXPECT_EQ(fs::read_symlink(copy + "/link").string(), "sub/data");
        auto mode = platform::status_of_path(copy + "/readonly", platform::FollowFinalLink::no);
        ASSERT_TRUE(mode);
        EXPECT_EQ(mode->mode & 07777, 0444u);
        auto folder = platform::status_of_path(copy + "/sub", platform::FollowFinalLink::no);
        ASSERT_TRUE(folder);
        EXPECT_EQ(folder->mode & 07777, 0750u);
        if (attributes_) {
            EXPECT_EQ(platform::read_attribute(copy + "/readonly", "user.note"), "kept");
        }
    }

    void make_item() {
        tmp_.write_file("work/item/readonly", "locked");
        tmp_.write_file("work/item/sub/data", std::string(300'000, 'd'));
        tmp_.write_file("work/item/empty", "");
        fs::create_symlink("sub/data", at("item/link"));
        attributes_ =
            platform::write_attribute(at("item/readonly"), "user.note", "kept").has_value();
        // A read-only source with attributes: the copy gets them before its mode.
        ASSERT_EQ(::chmod(at("item/readonly").c_str(), 0444), 0);
        ASSERT_EQ(::chmod(at("item/sub").c_str(), 0750), 0);
    }

    bool attributes_ = false;
};

TEST_F(BackupCopyTest, ATreeIsCopiedVerifiedAndThenRemoved) {
    make_item();
    back_up_and_remove(tmp_.make_dir("backups"));
}

TEST_F(BackupCopyTest, ADestinationOnAnotherFileSystemWorks) {
    struct stat shm {};
    struct stat here {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(root_.c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev || ::access("/dev/shm", W_OK) != 0) {
        GTEST_SKIP() << "no second writable file system";
    }
    make_item();
    // Removed even when an assertion ends the test early; copies may be read-only.
    struct Remove {
        std::string path;
        ~Remove() {
            std::error_code ignored;
            for (const auto& entry : fs::recursive_directory_iterator(path, ignored)) {
                if (!fs::is_symlink(entry.symlink_status())) {
                    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add,
                                    ignored);
                }
            }
            fs::remove_all(path, ignored);
        }
    } destination{"/dev/shm/bramvelt-backup-test-" + std::to_string(::getpid())};
    fs::create_directory(destination.path);
    back_up_and_remove(destination.path);
}

TEST_F(BackupCopyTest, SpecialEntriesAreNotBackedUp) {
    tmp_.make_dir("work/item");
    ASSERT_EQ(::mkfifo(at("item/fifo").c_str(), 0600), 0);
    const std::string real = fs::canonical(tmp_.make_dir("backups")).string();
    auto reserved = filesystem::open_reserved_dir(real);
    ASSERT_TRUE(reserved);
    const CleanupPlan plan = plan_of({});
    ProgressReporter reporter(plan, make_cancel_flag(), [](const CleanupEvent&) {});
    reporter.acknowledged = policy::Acknowledgement::Given;
    BackupSnapshot snapshot;
    auto copied = copy_item_to_backup(at("item"), real + "/item", *reserved, "i", snapshot, reporter);
    ASSERT_FALSE(copied);
    EXPECT_EQ(copied.error(), kSpecialNotBackedUp);
    EXPECT_TRUE(exists_nofollow(at("item/fifo")));
}

}  // namespace
}  // namespace bramvelt::cleanup

namespace bramvelt::cleanup {
namespace {

TEST_F(BackupCopyTest, ABackupToAFolderPlanKeepsTheCopyAndRemovesTheItem) {
    make_item();
    const std::string destination = tmp_.make_dir("backups");
    fs::create_directory_symlink(destination, tmp_ / "via-link");
    const auto events = run(plan_of({"item"}, CleanupAction::backup_to_folder(tmp_ / "via-link")));
    const CleanupItemResult result = only_result(events);
    EXPECT_EQ(result.status, CleanupStatus::Removed) << result.error.value_or("");
    EXPECT_FALSE(exists_nofollow(at("item")));
    const auto summaries = events_of<Summary>(events);
    ASSERT_EQ(summaries.size(), 1u);
    ASSERT_TRUE(summaries[0].summary.backup_folder);
    const std::string folder = *summaries[0].summary.backup_folder;
    EXPECT_EQ(fs::path(folder).parent_path().string(), fs::canonical(destination).string());
    EXPECT_TRUE(fs::path(folder).filename().string().starts_with(kBackupFolderPrefix));
    ASSERT_TRUE(result.backup_path);
    EXPECT_EQ(*result.backup_path, folder + "/item");
    EXPECT_EQ(read_text(folder + "/item/readonly"), "locked");
}

TEST_F(BackupCopyTest, BadDestinationsEndThePlanBeforeItStarts) {
    tmp_.write_file("work/item/a", "a");
    tmp_.write_file("work/file", "f");
    const struct {
        std::string destination;
        std::string_view text;
    } cases[] = {
        {tmp_ / "missing", ""},  // the resolution's own text
        {at("file"), kDestinationNotDirectory},
        {at("item"), kDestinationInsideItem},
        {tmp_.make_dir("work/item/inner"), kDestinationInsideItem},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.destination);
        const auto events = run(plan_of({"item"}, CleanupAction::backup_to_folder(test.destination)));
        const auto failed = events_of<Failed>(events);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0].code, kCodeBackupDestination);
        if (!test.text.empty()) {
            EXPECT_EQ(failed[0].message, test.text);
        }
        EXPECT_TRUE(exists_nofollow(at("item/a")));
    }
}

}  // namespace
}  // namespace bramvelt::cleanup
