#include "platform/mount_point.hpp"

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

TEST(StatxMountRoot, ReportsTheKernelsAttribute) {
    const auto proc = statx_mount_root("/proc");
    if (!proc) GTEST_SKIP() << "the kernel does not report mount roots";
    EXPECT_TRUE(*proc);
    testing::TempDir tmp;
    tmp.make_dir("d");
    EXPECT_EQ(statx_mount_root(tmp / "d"), std::optional<bool>(false));
    EXPECT_EQ(statx_mount_root(tmp / "missing"), std::nullopt);
}

}  // namespace
}  // namespace bramvelt::platform
