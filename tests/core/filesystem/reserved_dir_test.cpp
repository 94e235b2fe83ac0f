#include "core/filesystem/reserved_dir.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/filesystem/parent_handle.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::filesystem {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// New entries carry exactly the requested permission bits when no mask applies.
class UmaskZero {
  public:
    UmaskZero() : old_(::umask(0)) {}
    ~UmaskZero() { ::umask(old_); }

  private:
    mode_t old_;
};

mode_t mode_of(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_mode & 07777;
}

ReservedDir reserve(const std::string& path) {
    return open_reserved_dir(path).value();
}

TEST(ReservedDir, CreatesFilesFoldersAndLinksInside) {
    UmaskZero umask;
    TempDir tmp;
    const std::string root = tmp.make_dir("r");
    const ReservedDir dir = reserve(root);

    ASSERT_TRUE(create_backup_parents(dir, root + "/a/b/c/file"));
    for (const char* folder : {"/a", "/a/b", "/a/b/c"}) {
        EXPECT_EQ(mode_of(root + folder), 0700u) << folder;
    }
    ASSERT_TRUE(create_backup_parents(dir, root + "/a/b/c/file"));  // existing folders accepted

    auto file = create_backup_file(dir, root + "/a/b/c/file");
    ASSERT_TRUE(file);
    EXPECT_EQ(mode_of(root + "/a/b/c/file"), 0600u);
    EXPECT_EQ(::write(file->get(), "xy", 2), 2);
    char back[2] = {};
    EXPECT_EQ(::pread(file->get(), back, 2, 0), 2);  // open for reading too

    auto sub = create_backup_dir(dir, root + "/a/new");
    ASSERT_TRUE(sub);
    EXPECT_EQ(mode_of(root + "/a/new"), 0700u);
    struct stat by_fd {};
    struct stat by_path {};
    ::fstat(sub->get(), &by_fd);
    ::stat((root + "/a/new").c_str(), &by_path);
    EXPECT_EQ(by_fd.st_ino, by_path.st_ino);

    const std::string odd_text = "../../outside/\xff target";
    ASSERT_TRUE(create_backup_symlink(dir, odd_text, root + "/a/link"));
    EXPECT_EQ(fs::read_symlink(root + "/a/link").string(), odd_text);
    EXPECT_EQ(create_backup_symlink(dir, std::string("a\0b", 3), root + "/a/l2").error().message,
              kNulInSymlink);
}

TEST(ReservedDir, ExistingEntriesAreNeverReplaced) {
    TempDir tmp;
    const std::string root = tmp.make_dir("r");
    tmp.write_file("r/exists", "keep");
    tmp.write_file("outside", "precious");
    fs::create_symlink(tmp / "outside", root + "/link");
    const ReservedDir dir = reserve(root);

    EXPECT_EQ(create_backup_file(dir, root + "/exists").error().error_number, EEXIST);
    EXPECT_EQ(create_backup_file(dir, root + "/link").error().error_number, EEXIST);
    EXPECT_EQ(create_backup_dir(dir, root + "/exists").error().error_number, EEXIST);
    EXPECT_EQ(create_backup_symlink(dir, "x", root + "/exists").error().error_number, EEXIST);
    EXPECT_EQ(fs::file_size(root + "/exists"), 4u);
    EXPECT_EQ(fs::file_size(tmp / "outside"), 8u);
}

TEST(ReservedDir, NeverWalksThroughALink) {
    TempDir tmp;
    const std::string root = tmp.make_dir("r");
    const std::string elsewhere = tmp.make_dir("elsewhere");
    fs::create_directory_symlink(elsewhere, root + "/a");
    const ReservedDir dir = reserve(root);

    // Opening a link with O_NOFOLLOW | O_DIRECTORY reports ENOTDIR.
    EXPECT_EQ(create_backup_parents(dir, root + "/a/b/c/file").error().error_number, ENOTDIR);
    EXPECT_EQ(create_backup_file(dir, root + "/a/file").error().error_number, ENOTDIR);
    EXPECT_TRUE(fs::is_empty(elsewhere));

    tmp.write_file("r/plain");
    EXPECT_EQ(create_backup_file(dir, root + "/plain/file").error().error_number, ENOTDIR);
}

TEST(ReservedDir, TargetsMustLieInsideByWholeComponents) {
    TempDir tmp;
    const std::string root = tmp.make_dir("b/r");
    const ReservedDir dir = reserve(root);
    struct Case {
        std::string target;
        std::string_view message;
    };
    const std::vector<Case> cases = {
        {tmp / "b/rx/f", kBackupPathEscaped}, {tmp / "b/f", kBackupPathEscaped},
        {"b/r/f", kBackupPathEscaped},        {root + "/x/../../f", kInvalidRelativeBackupPath},
        {root, kMissingBackupFilename},       {root + "/", kMissingBackupFilename},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        EXPECT_EQ(create_backup_file(dir, c.target).error().message, c.message);
    }
    EXPECT_TRUE(backup_relative_path(dir, root)->empty());
    EXPECT_EQ(backup_relative_path(dir, root + "//x/./y").value(), (RelativePath{"x", "y"}));
    EXPECT_EQ(create_backup_file(dir, root + std::string("/a\0b", 4)).error().message,
              kNulInFilename);
    EXPECT_EQ(create_backup_parents(dir, root + std::string("/a\0b/f", 6)).error().message,
              kNulInBackupFilename);
    EXPECT_TRUE(fs::is_empty(root));
}

TEST(ReservedDir, AReplacedFolderStopsEveryOperation) {
    for (bool as_link : {false, true}) {
        SCOPED_TRACE(as_link);
        TempDir tmp;
        const std::string root = tmp.make_dir("r");
        const ReservedDir dir = reserve(root);
        fs::rename(root, tmp / "r.moved");
        if (as_link) {
            fs::create_directory_symlink(tmp / "r.moved", root);
        } else {
            fs::create_directory(root);
        }
        EXPECT_EQ(check_reserved_dir(dir).error().message, kBackupDirChanged);
        EXPECT_EQ(create_backup_file(dir, root + "/f").error().message, kBackupDirChanged);
        EXPECT_EQ(create_backup_parents(dir, root + "/a/f").error().message, kBackupDirChanged);
        EXPECT_TRUE(fs::is_empty(tmp / "r.moved"));
    }
}

TEST(ReservedDir, OpenedThroughALinkedPathFailsItsChecks) {
    TempDir tmp;
    tmp.make_dir("real/r");
    fs::create_directory_symlink(tmp / "real", tmp / "via");
    const ReservedDir dir = reserve(tmp / "via/r");
    EXPECT_EQ(check_reserved_dir(dir).error().message, kBackupDirChanged);
    EXPECT_EQ(create_backup_file(dir, tmp / "via/r/f").error().message, kBackupDirChanged);

    // A trailing separator in the recorded path does not matter.
    const ReservedDir plain = reserve(tmp / "real/r/");
    EXPECT_TRUE(check_reserved_dir(plain));
}

TEST(ReservedDir, ALinkCannotBeReserved) {
    TempDir tmp;
    tmp.make_dir("real");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    EXPECT_FALSE(open_reserved_dir(tmp / "link"));
    EXPECT_EQ(open_reserved_dir(tmp / "missing").error().error_number, ENOENT);
}

TEST(OpenDirChain, EmptyPathDuplicatesAndCreatesWhenAsked) {
    TempDir tmp;
    platform::Fd base(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto same = open_dir_chain(base.get(), {}, MissingFolders::Fail);
    ASSERT_TRUE(same);
    EXPECT_GE(same->get(), 3);
    EXPECT_NE(same->get(), base.get());
    EXPECT_EQ(open_dir_chain(base.get(), {"x", "y"}, MissingFolders::Fail).error().error_number,
              ENOENT);
    EXPECT_TRUE(open_dir_chain(base.get(), {"x", "y"}, MissingFolders::Create));
    EXPECT_TRUE(fs::is_directory(tmp / "x/y"));
}

// Only plain names are walked: anything openat would read as a path of its own (a step
// up, a link inside "a/b") is refused before any folder is made.
TEST(OpenDirChain, ComponentsThatAreNotPlainNamesAreRefused) {
    TempDir tmp;
    const std::string base_path = tmp.make_dir("base");
    const std::string outside = tmp.make_dir("outside");
    fs::create_directory_symlink(outside, base_path + "/link");
    platform::Fd base(::open(base_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const std::vector<RelativePath> bad = {
        {"new", ".."}, {".."}, {"."}, {""}, {"link/x"}, {"new/x"}, {"/"},
    };
    for (const RelativePath& relative : bad) {
        SCOPED_TRACE(relative.back());
        for (MissingFolders missing : {MissingFolders::Fail, MissingFolders::Create}) {
            EXPECT_EQ(open_dir_chain(base.get(), relative, missing).error().message,
                      kInvalidRelativeBackupPath);
        }
    }
    EXPECT_FALSE(fs::exists(base_path + "/new"));
    EXPECT_TRUE(fs::is_empty(outside));
}

}  // namespace
}  // namespace bramvelt::filesystem
