#include "platform/temp_file.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

std::size_t entries_in(const std::string& folder) {
    std::size_t count = 0;
    DIR* dir = ::opendir(folder.c_str());
    EXPECT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") ++count;
    }
    ::closedir(dir);
    return count;
}

// What a child writes through its copy of the descriptor moves the shared offset to the
// end; reading from the start must not depend on it.
TEST(UnnamedTempFile, ReadsEverythingWrittenFromTheStartUpToTheLimit) {
    testing::TempDir tmp;
    testing::ScopedEnv tmpdir("TMPDIR", tmp.path().c_str());
    auto file = UnnamedTempFile::create(".test-");
    ASSERT_TRUE(file) << file.error();
    EXPECT_EQ(entries_in(tmp.path()), 0u);  // no name left behind
    EXPECT_EQ(file->size(), 0u);

    ASSERT_EQ(::write(file->fd(), "hello world", 11), 11);
    EXPECT_EQ(file->size(), 11u);
    EXPECT_EQ(file->read_from_start(1024), "hello world");
    EXPECT_EQ(file->read_from_start(5), "hello");
    ASSERT_EQ(::write(file->fd(), "!", 1), 1);  // after the 5 bytes just read
    EXPECT_EQ(file->read_from_start(1024), "hello!world");
    EXPECT_EQ(file->read_from_start(0), "");
}

TEST(UnnamedTempFile, MissingTemporaryFolderIsAnError) {
    testing::TempDir tmp;
    testing::ScopedEnv tmpdir("TMPDIR", (tmp / "missing").c_str());
    const auto file = UnnamedTempFile::create(".test-");
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error(), ENOENT);
}

TEST(UnnamedTempFile, EmptyTemporaryFolderVariableMeansTmp) {
    testing::ScopedEnv tmpdir("TMPDIR", "");
    const auto file = UnnamedTempFile::create(".test-");
    ASSERT_TRUE(file) << file.error();
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(file->fd());
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_TRUE(std::string_view(target).starts_with("/tmp/")) << target;
}

}  // namespace
}  // namespace bramvelt::platform
