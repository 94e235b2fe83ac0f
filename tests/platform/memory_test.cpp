#include "platform/memory.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace bramvelt::platform {
namespace {

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define BRAMVELT_GLIBC_HEAPS 1
#endif

#if defined(BRAMVELT_GLIBC_HEAPS)
// The writable size of the mapping that holds `address`, from /proc/self/maps.
std::uint64_t writable_mapping_size(const void* address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        const auto dash = range.find('-');
        const std::uint64_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uint64_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (at >= start && at < end) return permissions.starts_with("rw") ? end - start : 0;
    }
    return 0;
}

// The size of the writable heap a new thread's first small block lands in.
std::uint64_t new_thread_heap() {
    std::uint64_t writable = 0;
    std::thread([&] {
        auto block = std::make_unique<char[]>(64);
        writable = writable_mapping_size(block.get());
    }).join();
    return writable;
}

#endif

TEST(TuneAllocator, ThreadHeapsGrowInLargeSteps) {
#if defined(BRAMVELT_GLIBC_HEAPS)
    // In a fresh process: a thread that ended earlier would hand its arena, made before
    // the setting, to the next thread.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            tune_allocator_for_large_trees();
            tune_allocator_for_large_trees();  // a second call changes nothing
            // glibc caps a thread's heap at 64 MiB; without the pad it starts at 132 KiB.
            std::exit(new_thread_heap() >= (32ull << 20) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
#else
    tune_allocator_for_large_trees();
    GTEST_SKIP() << "the sanitizer's own allocator has no heap pad";
#endif
}

}  // namespace
}  // namespace bramvelt::platform
