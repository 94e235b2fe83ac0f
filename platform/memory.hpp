#pragma once
// Memory settings and large reservations. A scan builds a tree of hundreds of thousands
// of small allocations on many threads at once; grown a page at a time, each thread's
// heap costs one protection change per page, and each change stalls the page faults of
// every other thread; touched a page at a time, each page costs a fault of its own.

#include <cstddef>

namespace bramvelt::platform {

// How far a heap grows beyond what is asked whenever it must grow. Only the pages a
// program touches take memory, so the peak resident size stays what it was.
inline constexpr unsigned long kHeapGrowthPad = 64ul << 20;

// Asks the allocator to grow its heaps in steps of kHeapGrowthPad. Call once, early in
// main, before any thread starts. Does nothing where the allocator has no such setting.
// Under a limit on address space or data smaller than kRoomForHeapPad, the pad would
// make every growth ask for more than is left, so none is set; the threads' heaps, each
// of which reserves address space of its own, are then also capped in number.
void tune_allocator_for_large_trees();

// The smallest limit on address space under which the heap pad is still set.
inline constexpr unsigned long long kRoomForHeapPad = 64ull * kHeapGrowthPad;

// The size of a huge page, the unit a reservation is aligned to.
inline constexpr std::size_t kHugePageBytes = 2u << 20;

// Sets aside `bytes` of address space, aligned to kHugePageBytes, holding no memory and
// not to be touched until committed; where the system can, its memory will come in huge
// pages (a fault fills 2 MiB at once). Null when the system refuses. Never given back:
// meant to live as long as the process. A child started with exec inherits nothing of it.
void* reserve_address_space(std::size_t bytes);

// Makes [address, address + bytes) of a reservation readable and writable; false when
// the system refuses (no memory left to promise). Pages take memory once touched.
bool commit_memory(void* address, std::size_t bytes);

// Gives the memory of [address, address + bytes) back to the system; the range stays
// committed and reads as zeros.
void discard_memory(void* address, std::size_t bytes);

}  // namespace bramvelt::platform
