#include "platform/memory.hpp"

// Any C library header defines __GLIBC__ where glibc is the C library.
#include <cstdlib>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bramvelt::platform {

void tune_allocator_for_large_trees() {
#if defined(__GLIBC__)
    // Also sizes the first heap of every thread's arena, which is where a scan's
    // workers allocate.
    ::mallopt(M_TOP_PAD, static_cast<int>(kHeapGrowthPad));
#endif
}

}  // namespace bramvelt::platform
