#include "scan/tree_memory.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/memory.hpp"

namespace bramvelt::scan {
namespace {

constexpr std::size_t kChunkBytes = platform::kHugePageBytes;
// A thread carves its small pieces from one block of a chunk at a time, so the threads
// share each chunk (and its huge page) and only a block per thread is left part-used.
// A thread's first block is small and each next one twice as large, up to the most: the
// many threads that carve only a little (a frontier level's listers, a report's writers)
// then leave little unused, and a walker soon takes its blocks whole.
constexpr std::size_t kFirstBlockBytes = 32u << 10;
constexpr std::size_t kBlockBytes = 256u << 10;
// Larger pieces (the child lists of folders with hundreds of entries, output buffers)
// are taken from the chunk one by one, the thread's block left as it is.
constexpr std::size_t kLargestSmallPiece = 16u << 10;
static_assert(kLargestTreePiece == kChunkBytes);
static_assert(kFirstBlockBytes >= kLargestSmallPiece && kFirstBlockBytes <= kBlockBytes);
// Address space for every chunk; a tree larger than this goes on in the heap.
constexpr std::size_t kReservedBytes = std::size_t{64} << 30;
constexpr std::size_t kChunkCount = kReservedBytes / kChunkBytes;
// The reference a block being carved holds on its chunk, and the one a chunk holds on
// itself while it is the one pieces are taken from. Far above any count of pieces, so
// pieces freed before their block is handed back never bring the count to zero.
constexpr std::int64_t kHeld = std::int64_t{1} << 40;

// A chunk's count: pieces not yet freed, plus kHeld for each holder. Kept apart from the
// chunk, so that handing out a chunk under the store's lock touches none of its memory:
// the first touch fills a whole huge page (zeroing 2 MiB, slow on a virtual machine whose
// host must back it first), and it belongs to the thread that carves there, not to every
// thread waiting for the lock. Untouched entries cost nothing: the table is zero pages.
struct ChunkCount {
    std::atomic<std::int64_t> references{0};
};
using Chunk = std::size_t;  // the index of a chunk in the reservation
constexpr Chunk kNoChunk = std::numeric_limits<Chunk>::max();
ChunkCount chunk_counts[kChunkCount];

// Where the chunks lie; null until the first chunk is made. Set once; a thread freeing
// a piece has seen them set, since it has seen the piece.
std::atomic<char*> reserved_start{nullptr};
std::atomic<char*> reserved_end{nullptr};

char* chunk_memory(Chunk chunk) {
    return reserved_start.load(std::memory_order_relaxed) + chunk * kChunkBytes;
}

// The chunks of the process. Made on first use and never destroyed: trees may be freed
// while the process exits, after static destructors ran.
class ChunkStore {
  public:
    // A region of the current chunk of at least `least` and at most `most` bytes, whose
    // holder takes `references` on the chunk; null when no chunk can be had.
    char* take(std::size_t least, std::size_t most, std::int64_t references, Chunk& chunk,
               std::size_t& size) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_ != kNoChunk && kChunkBytes - next_ < least) leave_current();
        if (current_ == kNoChunk) {
            current_ = new_chunk();
            if (current_ == kNoChunk) return nullptr;
            chunk_counts[current_].references.store(kHeld, std::memory_order_relaxed);
            next_ = 0;
        }
        chunk = current_;
        size = std::min(most, kChunkBytes - next_);
        char* const region = chunk_memory(chunk) + next_;
        next_ += size;
        chunk_counts[chunk].references.fetch_add(references, std::memory_order_relaxed);
        if (next_ == kChunkBytes) leave_current();
        return region;
    }

    // A chunk nothing refers to any more: its memory goes back to the system and the
    // chunk waits for reuse.
    void give_back(Chunk chunk) {
        std::lock_guard<std::mutex> lock(mutex_);
        give_back_locked(chunk);
    }

    TreeMemoryUse use() {
        std::lock_guard<std::mutex> lock(mutex_);
        return {in_use_, spare_.size()};
    }

  private:
    // Pieces are no longer taken from the current chunk; it may hold nothing already.
    void leave_current() {
        const Chunk chunk = std::exchange(current_, kNoChunk);
        if (chunk_counts[chunk].references.fetch_sub(kHeld, std::memory_order_acq_rel) == kHeld) {
            give_back_locked(chunk);
        }
    }

    void give_back_locked(Chunk chunk) {
        platform::discard_memory(chunk_memory(chunk), kChunkBytes);
        spare_.push_back(chunk);
        --in_use_;
    }

    Chunk new_chunk() {
        Chunk chunk = kNoChunk;
        if (!spare_.empty()) {
            chunk = spare_.back();
            spare_.pop_back();
        } else {
            if (!reserved_ && !reserve()) return kNoChunk;
            if (next_unused_ == kChunkCount) return kNoChunk;
            if (!platform::commit_memory(chunk_memory(next_unused_), kChunkBytes)) return kNoChunk;
            chunk = next_unused_++;
        }
        ++in_use_;
        return chunk;
    }

    bool reserve() {
        if (reserve_failed_) return false;
        auto* const start = static_cast<char*>(platform::reserve_address_space(kReservedBytes));
        if (start == nullptr) {
            reserve_failed_ = true;
            return false;
        }
        reserved_end.store(start + kReservedBytes, std::memory_order_relaxed);
        reserved_start.store(start, std::memory_order_relaxed);
        reserved_ = true;
        return true;
    }

    std::mutex mutex_;
    Chunk current_ = kNoChunk;
    std::size_t next_ = 0;  // offset of the first free byte in the current chunk
    bool reserved_ = false;
    bool reserve_failed_ = false;
    Chunk next_unused_ = 0;
    std::vector<Chunk> spare_;
    std::size_t in_use_ = 0;
};

ChunkStore& chunk_store() {
    static ChunkStore* const store = new ChunkStore;
    return *store;
}

// Drops `count` references; the last one gives the chunk back.
void release(Chunk chunk, std::int64_t count) {
    if (chunk_counts[chunk].references.fetch_sub(count, std::memory_order_acq_rel) == count) {
        chunk_store().give_back(chunk);
    }
}

// The block a thread carves small pieces from, and how many it carved from it so far
// (added to the chunk's count when the block is handed back, so carving takes no
// atomic operation).
struct Cursor {
    Chunk chunk = kNoChunk;
    char* next = nullptr;
    char* end = nullptr;
    std::int64_t carved = 0;
    std::size_t block_bytes = kFirstBlockBytes;  // of the next block taken
    unsigned scopes = 0;
};
thread_local Cursor cursor;

void hand_back_block(Cursor& c) {
    if (c.chunk == kNoChunk) return;
    release(c.chunk, kHeld - c.carved);
    c.chunk = kNoChunk;
    c.next = c.end = nullptr;
    c.carved = 0;
}

void* carve_small(Cursor& c, std::size_t bytes) {
    if (static_cast<std::size_t>(c.end - c.next) < bytes) {
        hand_back_block(c);
        std::size_t size = 0;
        c.next = chunk_store().take(bytes, c.block_bytes, kHeld, c.chunk, size);
        if (c.next == nullptr) {
            c.chunk = kNoChunk;
            return nullptr;
        }
        c.end = c.next + size;
        c.block_bytes = std::min(2 * c.block_bytes, kBlockBytes);
    }
    void* const piece = c.next;
    c.next += bytes;
    ++c.carved;
    return piece;
}

void* carve_large(std::size_t bytes) {
    Chunk chunk = kNoChunk;
    std::size_t size = 0;
    return chunk_store().take(bytes, bytes, 1, chunk, size);
}

}  // namespace

void* allocate_tree_memory(std::size_t bytes) {
    Cursor& c = cursor;
    if (c.scopes > 0 && bytes <= kLargestTreePiece) {
        const std::size_t rounded = std::max(
            (bytes + kTreeMemoryAlignment - 1) & ~(kTreeMemoryAlignment - 1), kTreeMemoryAlignment);
        void* const piece =
            rounded <= kLargestSmallPiece ? carve_small(c, rounded) : carve_large(rounded);
        if (piece != nullptr) return piece;
    }
    return ::operator new(bytes);
}

void free_tree_memory(void* address, std::size_t bytes) noexcept {
    auto* const at = static_cast<char*>(address);
    char* const start = reserved_start.load(std::memory_order_relaxed);
    if (start != nullptr && at >= start && at < reserved_end.load(std::memory_order_relaxed)) {
        release(static_cast<std::size_t>(at - start) / kChunkBytes, 1);
        return;
    }
    ::operator delete(address, bytes);
}

TreeMemoryScope::TreeMemoryScope() {
    ++cursor.scopes;
}

TreeMemoryScope::~TreeMemoryScope() {
    Cursor& c = cursor;
    if (--c.scopes == 0) {
        hand_back_block(c);
        c.block_bytes = kFirstBlockBytes;
    }
}

TreeMemoryUse tree_memory_use() {
    return chunk_store().use();
}

}  // namespace bramvelt::scan
