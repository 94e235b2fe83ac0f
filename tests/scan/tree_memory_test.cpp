#include "scan/tree_memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scan/tree.hpp"

namespace bramvelt::scan {
namespace {

// A piece filled with a pattern of its own, checked before it is freed: a piece handed
// out twice, or a chunk given back under a live piece, shows as a changed pattern.
struct Piece {
    char* at = nullptr;
    std::size_t size = 0;
    unsigned char mark = 0;
};

Piece make_piece(std::size_t size, unsigned char mark) {
    Piece piece{static_cast<char*>(allocate_tree_memory(size)), size, mark};
    std::memset(piece.at, mark, size);
    return piece;
}

bool intact(const Piece& piece) {
    for (std::size_t i = 0; i < piece.size; ++i) {
        if (static_cast<unsigned char>(piece.at[i]) != piece.mark) return false;
    }
    return true;
}

// Sizes from a few bytes to beyond what one block holds, and one above the largest piece
// (which the heap serves).
std::size_t size_of(std::size_t i) {
    static constexpr std::size_t kSizes[] = {1, 8, 13, 96, 200, 4'000, 20'000, 300'000};
    if (i % 397 == 0) return kLargestTreePiece + 1;
    return kSizes[i % std::size(kSizes)];
}

TEST(TreeMemory, OutsideAScopeNothingComesFromChunks) {
    const TreeMemoryUse before = tree_memory_use();
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < 1'000; ++i) pieces.push_back(make_piece(size_of(i), 1));
    EXPECT_EQ(tree_memory_use().chunks_in_use, before.chunks_in_use);
    for (const Piece& piece : pieces) {
        EXPECT_TRUE(intact(piece));
        free_tree_memory(piece.at, piece.size);
    }
}

TEST(TreeMemory, ChunksGoBackOnceEverythingInThemIsFreed) {
    const TreeMemoryUse before = tree_memory_use();
    std::vector<Piece> pieces;
    {
        const TreeMemoryScope scope;
        for (std::size_t i = 0; i < 2'000; ++i) {
            pieces.push_back(make_piece(size_of(i), static_cast<unsigned char>(i)));
        }
    }
    // Some 80 MiB: many chunks.
    EXPECT_GE(tree_memory_use().chunks_in_use, before.chunks_in_use + 20);
    for (const Piece& piece : pieces) {
        ASSERT_TRUE(intact(piece));
        free_tree_memory(piece.at, piece.size);
    }
    // The chunk pieces are still taken from may stay in use.
    const TreeMemoryUse after = tree_memory_use();
    EXPECT_LE(after.chunks_in_use, before.chunks_in_use + 1);
    EXPECT_GE(after.chunks_spare, before.chunks_spare + 19);
}

TEST(TreeMemory, PiecesAreCarvedAlignedAndApart) {
    const TreeMemoryScope scope;
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < 5'000; ++i) {
        pieces.push_back(make_piece(1 + i % 50, static_cast<unsigned char>(i)));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(pieces.back().at) % kTreeMemoryAlignment, 0u);
    }
    for (const Piece& piece : pieces) {
        EXPECT_TRUE(intact(piece));
        free_tree_memory(piece.at, piece.size);
    }
}

// Trees are built on the scan's threads and freed wherever their owner lets them go.
TEST(TreeMemory, PiecesFreedOnOtherThreadsWhileTheirBlocksAreInUse) {
    constexpr int kThreads = 8;
    constexpr std::size_t kRounds = 600;
    const TreeMemoryUse before = tree_memory_use();
    std::vector<std::vector<Piece>> made(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> damaged{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const TreeMemoryScope scope;
            std::vector<Piece> kept;
            for (std::size_t i = 0; i < kRounds; ++i) {
                const auto mark = static_cast<unsigned char>(t * 31 + i);
                Piece piece = make_piece(size_of(i * (t + 1)), mark);
                // Half is freed here at once, while the block it came from is carved on.
                if (i % 2 == 0) {
                    if (!intact(piece)) ++damaged;
                    free_tree_memory(piece.at, piece.size);
                } else {
                    kept.push_back(piece);
                }
            }
            made[t] = std::move(kept);
        });
    }
    for (auto& thread : threads) thread.join();
    // The rest is freed by threads that made none of it.
    threads.clear();
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (const Piece& piece : made[(t + 1) % kThreads]) {
                if (!intact(piece)) ++damaged;
                free_tree_memory(piece.at, piece.size);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(damaged.load(), 0);
    EXPECT_LE(tree_memory_use().chunks_in_use, before.chunks_in_use + 1);
}

// Many short-lived threads that carve a little each (a frontier level's listers) must
// not each leave a large block unused: 32 threads at full-sized blocks would fill four
// chunks.
TEST(TreeMemory, ThreadsThatCarveLittleLeaveLittleUnused) {
    constexpr int kThreads = 32;
    const TreeMemoryUse before = tree_memory_use();
    std::vector<Piece> pieces(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const TreeMemoryScope scope;
            pieces[t] = make_piece(100, static_cast<unsigned char>(t));
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_LE(tree_memory_use().chunks_in_use, before.chunks_in_use + 1);
    for (const Piece& piece : pieces) {
        EXPECT_TRUE(intact(piece));
        free_tree_memory(piece.at, piece.size);
    }
}

TEST(TreeMemory, ATreeBuiltInAScopeOutlivesItAndCopiesElsewhere) {
    const TreeMemoryUse before = tree_memory_use();
    auto root = std::make_unique<TreeNode>();
    {
        const TreeMemoryScope scope;
        root->path = "/r";
        // Some 5 MiB: more than the chunk a test before may have left part-used.
        for (int i = 0; i < 30'000; ++i) {
            TreeNode& child = root->children.emplace_back();
            child.path = "/r/a-path-long-enough-for-the-heap-" + std::to_string(i);
            child.size = i;
        }
    }
    EXPECT_GT(tree_memory_use().chunks_in_use, before.chunks_in_use);
    // A copy made outside any scope (as live snapshots are) takes nothing from chunks.
    const std::size_t in_use = tree_memory_use().chunks_in_use;
    const TreeNode copy = *root;
    EXPECT_EQ(tree_memory_use().chunks_in_use, in_use);
    root.reset();
    ASSERT_EQ(copy.children.size(), 30'000u);
    EXPECT_EQ(copy.children[29'999].path, "/r/a-path-long-enough-for-the-heap-29999");
    EXPECT_LE(tree_memory_use().chunks_in_use, before.chunks_in_use + 1);
}

}  // namespace
}  // namespace bramvelt::scan
