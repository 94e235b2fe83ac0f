#include "platform/ownership.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fd.hpp"
#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

using testing::TempDir;

TEST(OwnedByThisAccount, TellsOwnFilesFromOthers) {
    TempDir tmp;
    const std::string mine = tmp.write_file("mine");
    const std::string theirs = tmp.write_file("theirs");
    Fd own(::open(mine.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(own);
    EXPECT_EQ(owned_by_this_account(own.get()), true);

    if (::geteuid() != 0) GTEST_SKIP() << "giving a file away needs root";
    ASSERT_EQ(::chown(theirs.c_str(), bramvelt::testing::kNobody, bramvelt::testing::kNobody), 0);
    Fd other(::open(theirs.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(other);
    EXPECT_EQ(owned_by_this_account(other.get()), false);

    const auto closed = owned_by_this_account(-1);
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error(), EBADF);
}

TEST(MakePrivate, LeavesReadAndWriteForTheOwnerAlone) {
    TempDir tmp;
    const std::string path = tmp.write_file("f");
    ASSERT_EQ(::chmod(path.c_str(), 06777), 0);
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    ASSERT_TRUE(make_private(fd.get()));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    const auto closed = make_private(-1);
    ASSERT_FALSE(closed);
    EXPECT_EQ(closed.error(), EBADF);
}

}  // namespace
}  // namespace bramvelt::platform
