#include "platform/memory.hpp"

#include <sys/mman.h>
#include <sys/resource.h>

#include <algorithm>

#include <cstdint>
#include <optional>
// Any C library header defines __GLIBC__ where glibc is the C library.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bramvelt::platform {

namespace {

#if defined(__GLIBC__)
// The tighter of the limits on address space and on data, or nothing when neither is set.
std::optional<unsigned long long> memory_limit() {
    std::optional<unsigned long long> limit;
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit value{};
        if (::getrlimit(resource, &value) != 0 || value.rlim_cur == RLIM_INFINITY) continue;
        limit = std::min<unsigned long long>(limit.value_or(value.rlim_cur), value.rlim_cur);
    }
    return limit;
}

// glibc reserves this much address space for each thread's heap, whatever it holds.
constexpr unsigned long long kThreadHeapReservation = 64ull << 20;
#endif

}  // namespace

void tune_allocator_for_large_trees() {
#if defined(__GLIBC__)
    const auto limit = memory_limit();
    if (!limit || *limit >= kRoomForHeapPad) {
        // Also sizes the first heap of every thread's arena, which is where a scan's
        // workers allocate.
        ::mallopt(M_TOP_PAD, static_cast<int>(kHeapGrowthPad));
        return;
    }
    // Once a new heap cannot be reserved, glibc serves each of that thread's allocations
    // with a mapping of its own, which spends the little that is left page by page: fewer
    // heaps, shared by the threads, leave room for the memory itself.
    const auto heaps = std::max<unsigned long long>(1, *limit / (8 * kThreadHeapReservation));
    ::mallopt(M_ARENA_MAX, static_cast<int>(std::min<unsigned long long>(heaps, 64)));
#endif
}

void* reserve_address_space(std::size_t bytes) {
    // One huge page more, to align the start; the slack stays reserved.
    const std::size_t mapped = bytes + kHugePageBytes;
    void* const at =
        ::mmap(nullptr, mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(at);
    const auto aligned = (start + kHugePageBytes - 1) & ~(std::uintptr_t{kHugePageBytes} - 1);
    void* const usable = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    // The advice is a property of the mapping: later protection changes keep it, so
    // committed ranges get huge pages without asking again. Refused where huge pages
    // are off, which only costs speed.
    (void)::madvise(usable, bytes, MADV_HUGEPAGE);
#endif
    return usable;
}

bool commit_memory(void* address, std::size_t bytes) {
    return ::mprotect(address, bytes, PROT_READ | PROT_WRITE) == 0;
}

void discard_memory(void* address, std::size_t bytes) {
    (void)::madvise(address, bytes, MADV_DONTNEED);
}

}  // namespace bramvelt::platform
