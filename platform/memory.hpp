#pragma once
// Start-up settings of the memory allocator. A scan builds a tree of hundreds of
// thousands of small allocations on many threads at once; grown a page at a time, each
// thread's heap costs one protection change per page, and each change stalls the page
// faults of every other thread.

namespace bramvelt::platform {

// How far a heap grows beyond what is asked whenever it must grow. Only the pages a
// program touches take memory, so the peak resident size stays what it was.
inline constexpr unsigned long kHeapGrowthPad = 64ul << 20;

// Asks the allocator to grow its heaps in steps of kHeapGrowthPad. Call once, early in
// main, before any thread starts. Does nothing where the allocator has no such setting.
void tune_allocator_for_large_trees();

}  // namespace bramvelt::platform
