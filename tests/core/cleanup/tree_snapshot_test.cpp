#include "core/cleanup/tree_snapshot.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace bramvelt::cleanup {
namespace {

filesystem::FileIdentity identity(std::string kind, std::uint64_t inode) {
    filesystem::FileIdentity id;
    id.kind = std::move(kind);
    id.inode = inode;
    id.device = -3;
    id.size = 1234;
    id.links = 2;
    id.modified_ns = static_cast<filesystem::int128_t>(inode) * 1'000'000'007 - 5;
    return id;
}

TEST(TreeSnapshot, FindsEveryEntryByExactPath) {
    TreeSnapshot snapshot;
    EXPECT_TRUE(snapshot.empty());
    EXPECT_FALSE(snapshot.find("/a"));
    constexpr std::uint64_t kCount = 50'000;  // many growths of the index
    for (std::uint64_t i = 0; i < kCount; ++i) {
        snapshot.insert("/item/d" + std::to_string(i % 97) + "/f" + std::to_string(i),
                        identity(i % 3 == 0 ? "directory" : "file", i));
    }
    EXPECT_EQ(snapshot.size(), kCount);
    for (std::uint64_t i = 0; i < kCount; i += 7) {
        const auto found =
            snapshot.find("/item/d" + std::to_string(i % 97) + "/f" + std::to_string(i));
        ASSERT_TRUE(found);
        EXPECT_EQ(*found, identity(i % 3 == 0 ? "directory" : "file", i));
    }
    EXPECT_FALSE(snapshot.find("/item/d0/f1"));
    EXPECT_FALSE(snapshot.find("/item/d1/f1/"));

    std::uint64_t visited = 0;
    snapshot.for_each([&](std::string_view path, const filesystem::FileIdentity& id) {
        EXPECT_EQ(path, "/item/d" + std::to_string(visited % 97) + "/f" + std::to_string(visited));
        EXPECT_EQ(id.inode, visited);
        ++visited;
    });
    EXPECT_EQ(visited, kCount);
}

TEST(TreeSnapshot, InsertingAPathAgainReplacesItsIdentity) {
    TreeSnapshot snapshot;
    snapshot.insert("/x", identity("file", 1));
    snapshot.insert("/x", identity("symlink", 2));
    EXPECT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot.find("/x"), identity("symlink", 2));
}

TEST(TreeSnapshot, KeepsExtremeIdentityFields) {
    filesystem::FileIdentity id;
    id.kind = "special";
    id.modified_ns = -(static_cast<filesystem::int128_t>(1) << 100);
    id.device = std::numeric_limits<std::int64_t>::min();
    id.inode = std::numeric_limits<std::uint64_t>::max();
    id.size = std::numeric_limits<std::int64_t>::max();
    id.links = std::numeric_limits<std::uint64_t>::max();
    TreeSnapshot snapshot;
    snapshot.insert("", id);
    EXPECT_EQ(snapshot.find(""), id);
}

}  // namespace
}  // namespace bramvelt::cleanup
