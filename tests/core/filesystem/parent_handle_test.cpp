#include "core/filesystem/parent_handle.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "core/filesystem/identity.hpp"
#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::filesystem {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

FileIdentity identity(const std::string& path) {
    return read_identity(path).value();
}

ParentHandle handle(const std::string& path) {
    return open_parent_dir(path).value();
}

TEST(Identity, SameEntryReadThreeWaysIsEqual) {
    TempDir tmp;
    const std::string file = tmp.write_file("f", "data");
    const std::string dir = tmp.make_dir("d");
    for (const std::string& path : {file, dir}) {
        SCOPED_TRACE(path);
        const FileIdentity by_path = identity(path);
        platform::Fd parent(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_EQ(identity_at(parent.get(), fs::path(path).filename().string()).value(), by_path);
        platform::Fd self(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        EXPECT_EQ(identity_of_fd(self.get()).value(), by_path);
    }
    EXPECT_EQ(identity(file).kind, "file");
    EXPECT_EQ(identity(file).size, 4);
    EXPECT_EQ(identity(dir).kind, "directory");
    ::symlink("f", (tmp / "l").c_str());
    EXPECT_EQ(identity(tmp / "l").kind, "symlink");
    ::mkfifo((tmp / "p").c_str(), 0600);
    EXPECT_EQ(identity(tmp / "p").kind, "special");
    EXPECT_EQ(read_identity(tmp / "missing").error().error_number, ENOENT);
}

TEST(Identity, NanosecondTimesAndFullDeviceNumbers) {
    TempDir tmp;
    const std::string file = tmp.write_file("f");
    const timespec times[2] = {{0, UTIME_OMIT}, {4'102'444'800, 123'456'789}};  // year 2100
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const FileIdentity id = identity(file);
    EXPECT_TRUE(id.modified_ns ==
                static_cast<int128_t>(4'102'444'800) * 1'000'000'000 + 123'456'789);
    struct stat st {};
    ASSERT_EQ(::lstat(file.c_str(), &st), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(id.device), static_cast<std::uint64_t>(st.st_dev));
}

TEST(OpenParentDir, ResolvesTheParentAndRejectsWhatHasNoName) {
    TempDir tmp;
    tmp.write_file("real/f");
    ASSERT_EQ(::symlink((tmp / "real").c_str(), (tmp / "link").c_str()), 0);

    const ParentHandle through_link = handle(tmp / "link/f");
    EXPECT_EQ(through_link.path(), tmp / "real/f");
    EXPECT_EQ(through_link.name(), "f");
    EXPECT_EQ(identity_of_fd(through_link.parent_fd())->inode, identity(tmp / "real").inode);

    EXPECT_EQ(open_parent_dir("/").error().message, kCannotOperateOnRoot);
    EXPECT_EQ(open_parent_dir("").error().message, kCannotOperateOnRoot);
    EXPECT_EQ(open_parent_dir(tmp / "real/..").error().message, kMissingFilename);
    EXPECT_EQ(open_parent_dir(tmp / "missing/f").error().error_number, ENOENT);
    EXPECT_EQ(open_parent_dir(tmp / std::string("real/a\0b", 8)).error().message, kNulInFilename);
    EXPECT_EQ(open_parent_dir(tmp / std::string("re\0al/b", 7)).error().message, kNulInParentPath);
    // The handle of an entry directly under "/" holds "/" itself.
    EXPECT_EQ(handle("/tmp").path(), "/tmp");
}

// Each of the six fields must hold: a recorded identity that differs in any one of them
// is refused, and nothing is removed.
TEST(CheckAuthorizedIdentity, AnyFieldDifferingIsRefused) {
    TempDir tmp;
    const std::string file = tmp.write_file("f", "x");
    const FileIdentity real = identity(file);
    const std::vector<std::function<void(FileIdentity&)>> changes = {
        [](FileIdentity& id) { id.modified_ns += 1; },
        [](FileIdentity& id) { id.kind = "directory"; },
        [](FileIdentity& id) { id.device += 1; },
        [](FileIdentity& id) { id.inode += 1; },
        [](FileIdentity& id) { id.size += 1; },
        [](FileIdentity& id) { id.links += 1; },
    };
    const ParentHandle h = handle(file);
    ASSERT_TRUE(check_authorized_identity(h, real));
    for (std::size_t i = 0; i < changes.size(); ++i) {
        SCOPED_TRACE(i);
        FileIdentity recorded = real;
        changes[i](recorded);
        EXPECT_EQ(check_authorized_identity(h, recorded).error().message, kItemChanged);
        EXPECT_EQ(unlink_verified(h, UnlinkAs::NonDirectory, recorded).error().message,
                  kItemChanged);
        EXPECT_FALSE(open_verified_file(h, FileAccess::ReadOnly, recorded));
    }
    EXPECT_TRUE(fs::exists(file));
}

// The same, with the entry really changing on disk after authorization.
TEST(CheckAuthorizedIdentity, EntryChangedOnDiskIsRefused) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> change;
    };
    const std::vector<Case> cases = {
        {"replaced by a new file",
         [](const std::string& p) {
             ::unlink(p.c_str());
             std::FILE* f = std::fopen(p.c_str(), "w");
             std::fputs("x", f);
             std::fclose(f);
         }},
        {"grown",
         [](const std::string& p) {
             std::FILE* f = std::fopen(p.c_str(), "a");
             std::fputs("more", f);
             std::fclose(f);
         }},
        {"touched",
         [](const std::string& p) {
             const timespec times[2] = {{0, UTIME_OMIT}, {1'000'000, 0}};
             ::utimensat(AT_FDCWD, p.c_str(), times, 0);
         }},
        {"hard-linked", [](const std::string& p) { ::link(p.c_str(), (p + ".2").c_str()); }},
        {"replaced by a link",
         [](const std::string& p) {
             ::rename(p.c_str(), (p + ".old").c_str());
             ::symlink((p + ".old").c_str(), p.c_str());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        const std::string file = tmp.write_file("f", "x");
        const FileIdentity recorded = identity(file);
        const ParentHandle h = handle(file);
        c.change(file);
        EXPECT_EQ(check_authorized_identity(h, recorded).error().message, kItemChanged);
        EXPECT_EQ(unlink_verified(h, UnlinkAs::NonDirectory, recorded).error().message,
                  kItemChanged);
        EXPECT_TRUE(fs::exists(fs::symlink_status(file)));
    }
}

TEST(CheckAuthorizedIdentity, VanishedEntryReportsNotFound) {
    TempDir tmp;
    const std::string file = tmp.write_file("f");
    const FileIdentity recorded = identity(file);
    const ParentHandle h = handle(file);
    ::unlink(file.c_str());
    EXPECT_EQ(check_authorized_identity(h, recorded).error().error_number, ENOENT);
}

TEST(CheckAuthorizedIdentity, ParentMovedOrReplacedIsRefused) {
    TempDir tmp;
    const std::string item = tmp.make_dir("p/item");
    const FileIdentity recorded = identity(item);

    {
        const ParentHandle h = handle(item);
        fs::rename(tmp / "p", tmp / "moved");
        EXPECT_EQ(check_authorized_identity(h, recorded).error().error_number, ENOENT);
        // Another folder now stands at the old parent path.
        fs::create_directory(tmp / "p");
        EXPECT_EQ(check_authorized_identity(h, recorded).error().message, kParentChanged);
        EXPECT_EQ(unlink_verified(h, UnlinkAs::Directory, recorded).error().message,
                  kParentChanged);
        EXPECT_FALSE(open_verified_dir(h, recorded));
    }
    EXPECT_TRUE(fs::is_directory(tmp / "moved/item"));

    // A parent path that now reaches the same folder through a link still names the
    // folder held open: accepted, since the parent is compared by what the path reaches.
    const ParentHandle h = handle(tmp / "moved/item");
    fs::rename(tmp / "moved", tmp / "moved2");
    fs::create_directory_symlink(tmp / "moved2", tmp / "moved");
    EXPECT_TRUE(check_authorized_identity(h, recorded));
}

TEST(OpenVerifiedDir, OpensTheAuthorizedFolderOnly) {
    TempDir tmp;
    const std::string dir = tmp.make_dir("d");
    tmp.write_file("d/inside");
    const FileIdentity recorded = identity(dir);
    {
        const ParentHandle h = handle(dir);
        auto fd = open_verified_dir(h, recorded);
        ASSERT_TRUE(fd);
        EXPECT_EQ(identity_at(fd->get(), "inside")->kind, "file");
    }

    // Swapped for a link to another folder, or for another folder: refused, untouched.
    const std::string other = tmp.make_dir("other");
    for (bool as_link : {true, false}) {
        SCOPED_TRACE(as_link);
        const ParentHandle h = handle(dir);
        fs::rename(dir, tmp / "d.orig");
        if (as_link) {
            fs::create_directory_symlink(other, dir);
        } else {
            fs::create_directory(dir);
        }
        EXPECT_EQ(open_verified_dir(h, recorded).error().message, kItemChanged);
        EXPECT_EQ(unlink_verified(h, UnlinkAs::Directory, recorded).error().message, kItemChanged);
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir)));
        fs::remove(dir);
        fs::rename(tmp / "d.orig", dir);
    }
    EXPECT_TRUE(fs::exists(tmp / "d/inside"));
}

TEST(OpenVerifiedDir, ALinkToAFolderIsNeverFollowed) {
    TempDir tmp;
    tmp.make_dir("target");
    fs::create_directory_symlink(tmp / "target", tmp / "link");
    const FileIdentity recorded = identity(tmp / "link");
    ASSERT_EQ(recorded.kind, "symlink");
    const ParentHandle h = handle(tmp / "link");
    const auto opened = open_verified_dir(h, recorded);
    ASSERT_FALSE(opened);
    EXPECT_TRUE(opened.error().error_number == ELOOP || opened.error().error_number == ENOTDIR);
}

TEST(OpenVerifiedFile, ReadsOrWritesWithoutTruncating) {
    TempDir tmp;
    const std::string file = tmp.write_file("f", "abc");
    const FileIdentity recorded = identity(file);
    const ParentHandle h = handle(file);

    auto reader = open_verified_file(h, FileAccess::ReadOnly, recorded);
    ASSERT_TRUE(reader);
    EXPECT_LT(::write(reader->get(), "z", 1), 0);
    char buffer[8] = {};
    EXPECT_EQ(::read(reader->get(), buffer, sizeof buffer), 3);

    auto writer = open_verified_file(h, FileAccess::ReadWrite, recorded);
    ASSERT_TRUE(writer);
    EXPECT_EQ(::pwrite(writer->get(), "Z", 1, 0), 1);
    EXPECT_EQ(identity(file).size, 3);

    // The file now differs from what was authorized.
    EXPECT_FALSE(open_verified_file(h, FileAccess::ReadOnly, recorded));
}

TEST(UnlinkVerified, RemovesOnlyTheAuthorizedEntry) {
    TempDir tmp;
    const std::string file = tmp.write_file("f");
    const std::string dir = tmp.make_dir("d");
    tmp.write_file("d/child");

    ASSERT_TRUE(unlink_verified(handle(file), UnlinkAs::NonDirectory, identity(file)));
    EXPECT_FALSE(fs::exists(file));

    const FileIdentity dir_id = identity(dir);
    const auto not_empty = unlink_verified(handle(dir), UnlinkAs::Directory, dir_id);
    ASSERT_FALSE(not_empty);
    EXPECT_EQ(not_empty.error().error_number, ENOTEMPTY);
    EXPECT_TRUE(fs::exists(tmp / "d/child"));

    // Emptying the folder changes its modification time: authorize again before removing.
    fs::remove(tmp / "d/child");
    EXPECT_EQ(unlink_verified(handle(dir), UnlinkAs::Directory, dir_id).error().message,
              kItemChanged);
    ASSERT_TRUE(unlink_verified(handle(dir), UnlinkAs::Directory, identity(dir)));
    EXPECT_FALSE(fs::exists(dir));
}

TEST(UnlinkVerified, ALinkIsRemovedNotItsTarget) {
    TempDir tmp;
    const std::string target = tmp.write_file("keep/important", "data");
    fs::create_directory_symlink(tmp / "keep", tmp / "link");
    ASSERT_TRUE(
        unlink_verified(handle(tmp / "link"), UnlinkAs::NonDirectory, identity(tmp / "link")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "link")));
    EXPECT_TRUE(fs::exists(target));
}

TEST(OpenParentDir, UnsearchableParentFailsForAnUnprivilegedUser) {
    TempDir tmp;
    const std::string item = tmp.write_file("locked/inner/item");
    ::chmod(tmp.path().c_str(), 0755);
    ::chmod((tmp / "locked").c_str(), 0700);
    const int code = testing::run_in_child_as(testing::kNobody, testing::kNobody, [&] {
        auto h = open_parent_dir(item);
        return !h && h.error().error_number == EACCES ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::filesystem

namespace bramvelt::filesystem {
namespace {

// While another thread keeps exchanging the folder with a link to a decoy and with a
// decoy folder, every open either fails or yields the authorized folder itself.
TEST(OpenVerifiedDir, EntriesSwappedBetweenCheckAndOpenAreNeverOpened) {
    testing::TempDir tmp;
    const std::string dir = tmp.make_dir("p/d");
    const std::string decoy = tmp.make_dir("decoy");
    tmp.make_dir("p/other");
    fs::create_directory_symlink(decoy, tmp / "p/link");
    const FileIdentity recorded = read_identity(dir).value();
    const ParentHandle h = open_parent_dir(dir).value();

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        const std::string d = tmp / "p/d";
        const std::string others[2] = {tmp / "p/link", tmp / "p/other"};
        for (unsigned i = 0; !stop.load(); ++i) {
            ::renameat2(AT_FDCWD, d.c_str(), AT_FDCWD, others[i % 2].c_str(), RENAME_EXCHANGE);
        }
    });
    int opened = 0;
    int refused = 0;
    for (int i = 0; i < 3000; ++i) {
        auto fd = open_verified_dir(h, recorded);
        if (fd) {
            ++opened;
            EXPECT_EQ(identity_of_fd(fd->get()).value(), recorded);
            continue;
        }
        ++refused;
        const IoError& e = fd.error();
        const bool expected =
            e.message == kItemChanged || e.message == kDirectoryChangedWhileOpening ||
            e.error_number == ELOOP || e.error_number == ENOTDIR || e.error_number == ENOENT;
        EXPECT_TRUE(expected) << e.message;
    }
    stop = true;
    swapper.join();
    EXPECT_GT(opened + refused, 0);
}

}  // namespace
}  // namespace bramvelt::filesystem
