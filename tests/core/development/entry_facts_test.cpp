// What the search reads from an entry's status: times, allocated space and the file
// system boundary.

#include "core/development/entry_facts.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

TEST(DevEpochSeconds, DropsFractionAndPreEpochTimes) {
    EXPECT_EQ(epoch_seconds(FileTime{1, 900'000'000}), 1u);
    EXPECT_EQ(epoch_seconds(FileTime{-1, 500'000'000}), std::nullopt);
    EXPECT_EQ(epoch_seconds(FileTime{-86400, 0}), std::nullopt);
    EXPECT_EQ(epoch_seconds(std::nullopt), std::nullopt);
    EXPECT_EQ(epoch_seconds(FileTime{0, 0}), 0u);
}

TEST(DevAllocatedBytes, BlocksOfFiveHundredTwelveSaturating) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t blocks;
        std::uint64_t bytes;
    };
    for (const auto& c : std::vector<Case>{{0, 0},
                                           {8, 4096},
                                           {kMax / 512, (kMax / 512) * 512},
                                           {kMax / 512 + 1, kMax},
                                           {kMax, kMax}}) {
        platform::EntryStatus status;
        status.blocks = c.blocks;
        EXPECT_EQ(allocated_bytes(status), c.bytes) << c.blocks;
    }
}

using testing::DevTest;

// The times come from the entry as the kernel reports them, the fraction dropped.
TEST_F(DevTest, StatusTimesAreTheEntrysOwn) {
    const std::string file = tmp.write_file("f", "x");
    const timespec times[2] = {{1'000'000'007, 900'000'000}, {1'500'000'003, 1}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    const auto status = platform::status_of_path(file, platform::FollowFinalLink::no);
    ASSERT_TRUE(status);
    EXPECT_EQ(epoch_seconds(access_time(*status)), 1'000'000'007u);
    EXPECT_EQ(epoch_seconds(modification_time(*status)), 1'500'000'003u);
}

TEST_F(DevTest, AnotherDeviceIsAnotherFileSystem) {
    tmp.make_dir("d");
    tmp.write_file("f");
    const int fd = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const char* name : {"d", "f"}) {
        const auto status = platform::status_at(fd, name, platform::FollowFinalLink::no);
        ASSERT_TRUE(status) << name;
        EXPECT_FALSE(on_other_file_system_at(fd, name, *status, status->device)) << name;
        EXPECT_TRUE(on_other_file_system_at(fd, name, *status, status->device + 1)) << name;
    }
    ::close(fd);
}

}  // namespace
}  // namespace bramvelt::development
