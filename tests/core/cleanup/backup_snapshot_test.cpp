#include "core/cleanup/backup_snapshot.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/sha256.hpp"
#include "platform/file_status.hpp"
#include "platform/xattr.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

// Records an entry and everything below it as the copy step would, under `copy` or not.
void record_tree(BackupSnapshot& snapshot, const std::string& path, bool copy) {
    std::vector<std::string> paths{path};
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            paths.push_back(entry.path().string());
        }
    }
    for (const std::string& entry : paths) {
        auto identity = filesystem::read_identity(entry);
        ASSERT_TRUE(identity);
        if (copy) {
            snapshot.record_copy(entry, *identity);
        } else {
            snapshot.record_source(entry, *identity);
        }
        auto metadata = snapshot_metadata(entry);
        ASSERT_TRUE(metadata) << metadata.error();
        snapshot.record_metadata(entry, *metadata);
        if (identity->kind == "file") {
            const int fd = ::open(entry.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            auto digest = hash_file_sha256(fd, nullptr);
            ::close(fd);
            ASSERT_TRUE(digest);
            snapshot.record_digest(entry, digest->sha256);
        }
    }
}

// A source tree and a byte-for-byte copy with the same modes, links and attributes.
class BackupSnapshotTest : public ::testing::Test {
  protected:
    BackupSnapshotTest() : reporter_(plan_, make_cancel_flag(), [](const CleanupEvent&) {}) {
        for (const std::string root : {"src", "copy"}) {
            tmp_.write_file(root + "/a.txt", "alpha");
            tmp_.write_file(root + "/sub/b.bin", std::string(300'000, 'b'));
            fs::create_symlink("a.txt", tmp_ / (root + "/link"));
            ::chmod((tmp_ / (root + "/a.txt")).c_str(), 0600);
            attributes_ = platform::write_attribute(tmp_ / (root + "/a.txt"), "user.note", "kept");
        }
        src_ = tmp_ / "src";
        copy_ = tmp_ / "copy";
        record_tree(snapshot_, src_, false);
        record_tree(snapshot_, copy_, true);
    }

    std::uint64_t copy_entries() const { return snapshot_.copy().size(); }

    testing::TempDir tmp_;
    CleanupPlan plan_;
    ProgressReporter reporter_;
    BackupSnapshot snapshot_;
    std::expected<void, int> attributes_;
    std::string src_;
    std::string copy_;
};

TEST(BackupKey, IgnoresRepeatedSeparatorsDotsAndATrailingSeparator) {
    EXPECT_EQ(backup_key("/a//b/./c/"), "/a/b/c");
    EXPECT_EQ(backup_key("/"), "/");
    EXPECT_EQ(backup_key("a/./b"), "a/b");
}

TEST_F(BackupSnapshotTest, AnIntactCopyAndSourceVerify) {
    auto count = verify_backup_copy(copy_ + "/", snapshot_, reporter_);
    ASSERT_TRUE(count) << count.error();
    EXPECT_EQ(*count, copy_entries());
    auto source = reverify_backup_source(src_, snapshot_, reporter_);
    EXPECT_TRUE(source) << source.error();
}

TEST_F(BackupSnapshotTest, MetadataRecordsUserAttributesModeAndLinkTarget) {
    auto metadata = snapshot_metadata(src_ + "/a.txt");
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->mode, 0600u);
    EXPECT_FALSE(metadata->link_target);
    if (attributes_) {
        EXPECT_EQ(metadata->attributes, (std::map<std::string, std::string>{{"user.note", "kept"}}));
    }
    auto link = snapshot_metadata(src_ + "/link");
    ASSERT_TRUE(link);
    EXPECT_EQ(link->link_target, "a.txt");
}

TEST_F(BackupSnapshotTest, ChangedCopiesAreRefusedWithTheirTexts) {
    struct Case {
        const char* name;
        void (*change)(const std::string& copy);
        std::string_view text;
    };
    const Case cases[] = {
        {"mode", [](const std::string& c) { ::chmod((c + "/a.txt").c_str(), 0644); },
         kBackupMetadataChanged},
        {"link target",
         [](const std::string& c) {
             fs::remove(c + "/link");
             fs::create_symlink("sub", c + "/link");
         },
         kBackupChangedBeforeCleanup},  // a new link has an identity never recorded
        {"added file",
         [](const std::string& c) {
             const int fd = ::open((c + "/extra").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
             ::close(fd);
         },
         kBackupGainedEntry},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        testing::TempDir tmp;
        fs::copy(copy_, tmp / "copy", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        // Verify against a snapshot of the fresh copy, then change it.
        BackupSnapshot snapshot;
        record_tree(snapshot, tmp / "copy", true);
        ASSERT_TRUE(verify_backup_copy(tmp / "copy", snapshot, reporter_));
        // The folder's times put back, so the entry itself must tell.
        auto folder = platform::status_of_path(tmp / "copy", platform::FollowFinalLink::no);
        ASSERT_TRUE(folder);
        test.change(tmp / "copy");
        const struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT},
                                          {folder->mtime_seconds, folder->mtime_nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (tmp / "copy").c_str(), times, 0), 0);
        auto result = verify_backup_copy(tmp / "copy", snapshot, reporter_);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), test.text);
    }
}

TEST_F(BackupSnapshotTest, ALinkRetargetedInPlaceIsAMetadataChange) {
    const std::string link = src_ + "/link";
    auto identity = filesystem::read_identity(link);
    ASSERT_TRUE(identity);
    BackupSnapshot snapshot;
    MetadataSnapshot other;
    other.link_target = "elsewhere";
    other.mode = 0777;
    snapshot.record_metadata(link, other);
    auto result = verify_backup_entry(link, *identity, snapshot, reporter_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kBackupMetadataChanged);
}

TEST_F(BackupSnapshotTest, OneByteChangedWithSameSizeAndTimesIsAContentChange) {
    const std::string file = copy_ + "/sub/b.bin";
    auto before = platform::status_of_path(file, platform::FollowFinalLink::no);
    ASSERT_TRUE(before);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(::pwrite(fd, "X", 1, 1000), 1);
    const struct timespec times[2] = {{before->atime_seconds, before->atime_nanoseconds},
                                      {before->mtime_seconds, before->mtime_nanoseconds}};
    ASSERT_EQ(::futimens(fd, times), 0);
    ::close(fd);
    auto result = verify_backup_copy(copy_, snapshot_, reporter_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kBackupContentChanged);
}

TEST_F(BackupSnapshotTest, ADeletedCopyEntryLeavesTheCountShort) {
    // The folder's times put back, so only the count can tell.
    auto folder = platform::status_of_path(copy_ + "/sub", platform::FollowFinalLink::no);
    ASSERT_TRUE(folder);
    fs::remove(copy_ + "/sub/b.bin");
    const struct timespec times[2] = {{UTIME_OMIT, UTIME_OMIT},
                                      {folder->mtime_seconds, folder->mtime_nanoseconds}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (copy_ + "/sub").c_str(), times, 0), 0);
    auto count = verify_backup_copy(copy_, snapshot_, reporter_);
    ASSERT_TRUE(count) << count.error();
    EXPECT_EQ(*count, copy_entries() - 1);
}

TEST_F(BackupSnapshotTest, AVerifiedFileKeepsItsAccessTime) {
    const std::string file = src_ + "/sub/b.bin";
    const struct timespec times[2] = {{1'000'000, 5}, {UTIME_OMIT, UTIME_OMIT}};
    BackupSnapshot snapshot;
    record_tree(snapshot, file, false);
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    auto identity = filesystem::read_identity(file);
    ASSERT_TRUE(identity);
    ASSERT_TRUE(verify_backup_entry(file, *identity, snapshot, reporter_));
    auto after = platform::status_of_path(file, platform::FollowFinalLink::no);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->atime_seconds, 1'000'000);
    EXPECT_EQ(after->atime_nanoseconds, 5);
}

TEST_F(BackupSnapshotTest, AChangedSourceIsRefused) {
    tmp_.write_file("src/new", "x");
    auto result = reverify_backup_source(src_, snapshot_, reporter_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kSourceChanged);
}

TEST_F(BackupSnapshotTest, CancelledChecksStop) {
    reporter_.cancel->store(true);
    auto result = verify_backup_copy(copy_, snapshot_, reporter_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kCleanupCancelled);
}

}  // namespace
}  // namespace bramvelt::cleanup
