#include "core/cleanup/backup_removal.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "cleanup_fixture.hpp"
#include "core/cleanup/permanent_removal.hpp"
#include "core/cleanup/sha256.hpp"
#include "core/filesystem/parent_handle.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

// What a hook saw of files about to be unlinked: their bytes, read back from the disk.
std::string g_folder;                   // NOLINT: the hook takes no arguments
std::vector<std::string> g_seen_bytes;  // NOLINT

void read_pending_removals() {
    for (const auto& entry : fs::directory_iterator(g_folder)) {
        if (fs::is_regular_file(fs::symlink_status(entry.path()))) {
            g_seen_bytes.push_back(read_text(entry.path().string()));
        }
    }
}

class BackupRemovalTest : public CleanupTest {
  protected:
    ~BackupRemovalTest() override { filesystem::set_before_unlink_hook_for_testing(nullptr); }

    // The record a backup of `path` would hold of its source side.
    static BackupSnapshot record(const std::string& path) {
        BackupSnapshot snapshot;
        std::vector<std::string> paths{path};
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            paths.push_back(entry.path().string());
        }
        for (const std::string& entry : paths) {
            auto identity = filesystem::read_identity(entry);
            EXPECT_TRUE(identity);
            snapshot.record_source(entry, *identity);
            snapshot.record_metadata(entry, *snapshot_metadata(entry));
            if (identity->kind == "file") {
                const int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC);
                snapshot.record_digest(entry, hash_file_sha256(fd, nullptr)->sha256);
                ::close(fd);
            }
        }
        return snapshot;
    }

    std::expected<void, std::string> remove(const std::string& path, OverwriteFiles overwrite,
                                            const BackupSnapshot* snapshot) {
        const CleanupPlan plan = plan_of({});
        ProgressReporter reporter(plan, make_cancel_flag(), [](const CleanupEvent&) {});
        reporter.acknowledged = policy::Acknowledgement::Given;
        auto identity = filesystem::read_identity(path);
        EXPECT_TRUE(identity);
        auto result = remove_item(path, *identity, "item-1", overwrite, snapshot, reporter);
        bytes_done_ = reporter.progress.bytes_done;
        return result;
    }

    std::uint64_t bytes_done_ = 0;
};

TEST_F(BackupRemovalTest, OverwriteLeavesNoOriginalBytesAndCountsEveryPass) {
    const std::string original(300 * 1024, 'Q');
    tmp_.write_file("work/item/big", original);
    tmp_.write_file("work/item/empty", "");
    fs::create_symlink("big", at("item/link"));
    auto removed = remove(at("item"), OverwriteFiles::Yes, nullptr);
    ASSERT_TRUE(removed) << removed.error();
    EXPECT_FALSE(exists_nofollow(at("item")));
    EXPECT_EQ(bytes_done_, 3 * original.size());

    // A file alone in its folder, read back just before it is unlinked.
    tmp_.write_file("work/alone/big", original);
    g_folder = at("alone");
    g_seen_bytes.clear();
    filesystem::set_before_unlink_hook_for_testing(&read_pending_removals);
    ASSERT_TRUE(remove(at("alone/big"), OverwriteFiles::Yes, nullptr));
    EXPECT_FALSE(exists_nofollow(at("alone/big")));
    ASSERT_EQ(g_seen_bytes.size(), 1u);
    EXPECT_EQ(g_seen_bytes[0].size(), original.size());
    for (const std::string& bytes : g_seen_bytes) {
        EXPECT_EQ(bytes.find("QQQQQQQQ"), std::string::npos);
    }
}

TEST_F(BackupRemovalTest, OverwriteRefusesAFileWithAnotherHardLinkBeforeOpeningIt) {
    const std::string file = tmp_.write_file("work/file", "shared");
    ASSERT_EQ(::link(file.c_str(), (tmp_ / "work/other").c_str()), 0);
    auto removed = remove(file, OverwriteFiles::Yes, nullptr);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error(), kOverwriteRefusedHardLinks);
    EXPECT_EQ(read_text(file), "shared");
}

TEST_F(BackupRemovalTest, AFileGainingAHardLinkWhileOverwrittenStaysPartlyOverwritten) {
    const std::string original(3 * kOverwriteChunk, 'Q');
    const std::string file = tmp_.write_file("work/file", original);
    const std::string other = tmp_ / "other-name";
    const CleanupPlan plan = plan_of({});
    // A clock that moves a second each reading lets every chunk's report out; the first
    // report after a written chunk links the file elsewhere, mid-pass.
    auto ticks = std::make_shared<int>(0);
    bool linked = false;
    ProgressReporter reporter(
        plan, make_cancel_flag(),
        [&](const CleanupEvent& event) {
            const auto* progress = std::get_if<Progress>(&event);
            if (!linked && progress && progress->progress.bytes_done > 0) {
                linked = ::link(file.c_str(), other.c_str()) == 0;
            }
        },
        [ticks] { return Instant{} + std::chrono::seconds(++*ticks); });
    reporter.acknowledged = policy::Acknowledgement::Given;
    auto identity = filesystem::read_identity(file);
    ASSERT_TRUE(identity);
    auto removed = remove_item(file, *identity, "item-1", OverwriteFiles::Yes, nullptr, reporter);
    ASSERT_TRUE(linked);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error(), kGainedHardLink);
    // Both names stay on the one file: its first chunk zeroed, the rest untouched.
    EXPECT_EQ(inode_of(file), inode_of(other));
    const std::string now = read_text(other);
    ASSERT_EQ(now.size(), original.size());
    EXPECT_EQ(now.substr(0, kOverwriteChunk), std::string(kOverwriteChunk, '\0'));
    EXPECT_EQ(now.substr(kOverwriteChunk), original.substr(kOverwriteChunk));
    EXPECT_EQ(reporter.progress.bytes_done, kOverwriteChunk);
}

TEST_F(BackupRemovalTest, RemovalAfterABackupChecksEveryEntry) {
    tmp_.write_file("work/item/a", "alpha");
    tmp_.write_file("work/item/sub/b", "beta");
    BackupSnapshot snapshot = record(at("item"));
    auto removed = remove(at("item"), OverwriteFiles::No, &snapshot);
    ASSERT_TRUE(removed) << removed.error();
    EXPECT_FALSE(exists_nofollow(at("item")));
    EXPECT_EQ(bytes_done_, 9u);

    tmp_.write_file("work/second/a", "alpha");
    BackupSnapshot before = record(at("second"));
    tmp_.write_file("work/second/new", "made after the backup");
    // The folder's own record is refreshed, so only the new entry differs.
    before.record_source(at("second"), *filesystem::read_identity(at("second")));
    auto refused = remove(at("second"), OverwriteFiles::No, &before);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), kChangedAfterBackup);
    EXPECT_TRUE(exists_nofollow(at("second/new")));
}

TEST_F(BackupRemovalTest, SpecialEntriesAreNeverRemoved) {
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0600), 0);
    auto removed = remove(at("fifo"), OverwriteFiles::No, nullptr);
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error(), kSpecialNeverRemoved);
    EXPECT_TRUE(exists_nofollow(at("fifo")));
}

}  // namespace
}  // namespace bramvelt::cleanup
