#include "core/cleanup/backup_copy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>

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

    // The backup step of a one-item plan run directly, with a clock that moves a second
    // each reading so every copy report reaches `during`; the step's result.
    std::expected<void, std::string> back_up_step(
        const std::string& relative, const std::function<void(const CleanupProgress&)>& during) {
        const CleanupPlan plan = plan_of({relative}, CleanupAction::backup_to_folder(backups_));
        auto items = validate_cleanup_plan(plan, make_cancel_flag());
        EXPECT_TRUE(items) << items.error();
        if (!items) return std::unexpected(items.error());
        auto reserved = reserve_backup_folder(backups_, *items);
        EXPECT_TRUE(reserved) << reserved.error();
        if (!reserved) return std::unexpected(reserved.error());
        auto ticks = std::make_shared<int>(0);
        ProgressReporter reporter(
            plan, make_cancel_flag(),
            [&](const CleanupEvent& event) {
                if (const auto* progress = std::get_if<Progress>(&event))
                    during(progress->progress);
            },
            [ticks] { return Instant{} + std::chrono::seconds(++*ticks); });
        std::optional<std::string> backup_path;
        return back_up_to_folder(items->front(), *reserved, reporter, backup_path);
    }

    bool attributes_ = false;
    std::string backups_ = tmp_.make_dir("backups");
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

TEST_F(BackupCopyTest, AFileChangingWhileCopiedFailsTheItemAndStays) {
    const std::string original(3 * kCopyBuffer, 'o');
    const struct {
        const char* name;
        std::function<void(const std::string& file)> change;
        std::string after;  // the file's content once changed
    } cases[] = {
        {"appended to",
         [](const std::string& file) {
             std::FILE* out = std::fopen(file.c_str(), "ab");
             std::fputs("tail", out);
             std::fclose(out);
         },
         original + "tail"},
        {"truncated", [](const std::string& file) { ::truncate(file.c_str(), 10); },
         original.substr(0, 10)},
        {"touched",
         [](const std::string& file) {
             const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000, 0}};
             ::utimensat(AT_FDCWD, file.c_str(), times, 0);
         },
         original},
        {"renamed over",
         [this](const std::string& file) {
             const std::string other = tmp_.write_file("work/item/other", "replacement");
             ::rename(other.c_str(), file.c_str());
         },
         "replacement"},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        std::error_code ignored;
        fs::remove_all(at("item"), ignored);
        const std::string file = tmp_.write_file("work/item/big", original);
        tmp_.write_file("work/item/small", "small");
        // The file's first report comes before it is opened, the next after a chunk.
        int reports = 0;
        bool changed = false;
        auto result = back_up_step("item", [&](const CleanupProgress& progress) {
            if (progress.stage == "backing_up" && progress.detail == file && ++reports == 2) {
                test.change(file);
                changed = true;
            }
        });
        ASSERT_TRUE(changed);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), kCopyIncomplete);
        EXPECT_EQ(read_text(file), test.after);
    }
}

TEST_F(BackupCopyTest, AFileRenamedOverTheItemAfterAuthorizationIsNeverCopied) {
    tmp_.write_file("work/item", "authorized");
    const CleanupPlan plan = plan_of({"item"}, CleanupAction::backup_to_folder(backups_));
    auto items = validate_cleanup_plan(plan, make_cancel_flag());
    ASSERT_TRUE(items) << items.error();
    auto reserved = reserve_backup_folder(backups_, *items);
    ASSERT_TRUE(reserved) << reserved.error();
    const std::string other = tmp_.write_file("elsewhere", "not for the backup");
    ASSERT_EQ(::rename(other.c_str(), at("item").c_str()), 0);
    ProgressReporter reporter(plan, make_cancel_flag(), [](const CleanupEvent&) {});
    std::optional<std::string> backup_path;
    auto result = back_up_to_folder(items->front(), *reserved, reporter, backup_path);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), filesystem::kItemChanged);
    EXPECT_EQ(read_text(at("item")), "not for the backup");
    EXPECT_FALSE(exists_nofollow(reserved->path + "/item"));
}

TEST_F(BackupCopyTest, AnAttributeVanishingBeforeItIsReadFailsTheItem) {
    const std::string file = tmp_.write_file("work/item/noted", "data");
    if (!platform::write_attribute(file, "user.note", "kept")) {
        GTEST_SKIP() << "no extended attributes here";
    }
    static std::string g_noted;  // NOLINT: the hook takes no arguments
    g_noted = file;
    set_after_attribute_listing_hook_for_testing(
        [] { ::removexattr(g_noted.c_str(), "user.note"); });
    struct Reset {
        ~Reset() { set_after_attribute_listing_hook_for_testing(nullptr); }
    } reset;
    auto result = back_up_step("item", [](const CleanupProgress&) {});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kSourceAttributeGone);
    EXPECT_EQ(read_text(file), "data");
}

TEST_F(BackupCopyTest, WhenEveryCandidateNameIsTakenNothingIsReservedOrTouched) {
    tmp_.write_file("work/item/a", "alpha");
    const BackupNameParts parts{1'700'000'000, 0x0123456789abcdefULL};
    set_backup_name_parts_for_testing(parts);
    struct Reset {
        ~Reset() { set_backup_name_parts_for_testing(std::nullopt); }
    } reset;
    const std::string lure = tmp_ / "lure";
    // Taken by folders, files and links (one dangling, one to a folder), by attempt number.
    const auto take = [&](int attempt) {
        const std::string path = backups_ + "/" + std::string(kBackupFolderPrefix) +
                                 "1700000000-0123456789abcdef-" + std::to_string(attempt);
        switch (attempt % 4) {
            case 0:
                fs::create_directory(path);
                break;
            case 1:
                tmp_.write_file(path.substr(tmp_.path().size() + 1), "taken");
                break;
            case 2:
                fs::create_symlink(lure + std::to_string(attempt), path);
                break;
            default:
                fs::create_directory_symlink(tmp_.make_dir("lure-folder"), path);
                break;
        }
    };
    for (int attempt = 0; attempt < 99; ++attempt) take(attempt);

    // One name left: the last attempt takes it.
    auto events = run(plan_of({"item"}, CleanupAction::backup_to_folder(backups_)));
    auto summaries = events_of<Summary>(events);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_TRUE(summaries[0].summary.backup_folder &&
                summaries[0].summary.backup_folder->ends_with("-0123456789abcdef-99"));

    tmp_.write_file("work/item/a", "alpha");
    const auto before = tree_listing(tmp_.path());
    events = run(plan_of({"item"}, CleanupAction::backup_to_folder(backups_)));
    const auto failed = events_of<Failed>(events);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].code, kCodeBackupDestination);
    EXPECT_EQ(failed[0].message, kNoUniqueBackupDir);
    EXPECT_TRUE(events_of<ItemFinished>(events).empty());
    EXPECT_EQ(tree_listing(tmp_.path()), before);
    for (int attempt = 2; attempt < 99; attempt += 4) {
        EXPECT_FALSE(exists_nofollow(lure + std::to_string(attempt)));
    }
    EXPECT_TRUE(fs::is_empty(tmp_ / "lure-folder"));
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
