#pragma once
// Memory for the trees a scan builds and the text written from them. On a thread inside
// a TreeMemoryScope (a scan's walking threads, a report's writers), node lists, path
// texts and output buffers are carved from 2 MiB chunks of one address range that the
// system backs with huge pages: a tree of a million nodes then costs a few hundred page
// faults instead of tens of thousands. Everywhere else (live snapshots, the interface's
// copies) the same types take their memory from the heap. Either kind may be freed on
// any thread; a chunk's memory goes back to the system once everything carved from it
// is freed, so a tree that is dropped gives its memory back.

#include <cstddef>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

namespace bramvelt::scan {

// Every carved piece is aligned to this.
inline constexpr std::size_t kTreeMemoryAlignment = 8;
// Larger requests always take their memory from the heap.
inline constexpr std::size_t kLargestTreePiece = std::size_t{2} << 20;

void* allocate_tree_memory(std::size_t bytes);
void free_tree_memory(void* address, std::size_t bytes) noexcept;

// While one is alive on a thread, that thread's tree memory is carved from chunks. The
// thread carves small pieces from a block of a chunk it keeps; the outermost scope hands
// back what is left of it, so a scope belongs around a long stretch of work (a worker's
// life), not around each piece.
class TreeMemoryScope {
  public:
    TreeMemoryScope();
    ~TreeMemoryScope();
    TreeMemoryScope(const TreeMemoryScope&) = delete;
    TreeMemoryScope& operator=(const TreeMemoryScope&) = delete;
};

// How many chunks hold something now, and how many wait for reuse, their memory given
// back.
struct TreeMemoryUse {
    std::size_t chunks_in_use = 0;
    std::size_t chunks_spare = 0;
};
TreeMemoryUse tree_memory_use();

// The allocator of node lists, path texts and output buffers. Stateless: any instance
// frees what any other allocated, on any thread.
template <class T>
struct TreeAllocator {
    using value_type = T;
    using is_always_equal = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;

    constexpr TreeAllocator() noexcept = default;
    template <class U>
    constexpr TreeAllocator(const TreeAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= kTreeMemoryAlignment);
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(allocate_tree_memory(n * sizeof(T)));
    }
    void deallocate(T* address, std::size_t n) noexcept {
        free_tree_memory(address, n * sizeof(T));
    }

    template <class U>
    friend constexpr bool operator==(TreeAllocator, TreeAllocator<U>) noexcept {
        return true;
    }
};

// A node's path text, or text written from a tree.
using TreeString = std::basic_string<char, std::char_traits<char>, TreeAllocator<char>>;

}  // namespace bramvelt::scan
