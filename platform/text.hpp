#pragma once
// Text helpers shared by every layer: splitting command output, full lower-casing, and
// totals that hold at their limit instead of wrapping.

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::platform {

// Lines split at line feeds, each line's final carriage return removed, invalid UTF-8
// replaced; a final line feed ends the last line rather than starting an empty one.
std::vector<std::string> split_lines(std::string_view bytes);

// The non-empty records between NUL bytes, as they are (views into `bytes`).
std::vector<std::string_view> zero_separated_records(std::string_view bytes);

// The same records, invalid UTF-8 replaced.
std::vector<std::string> split_on_zero_bytes(std::string_view bytes);

// Unicode's full lower-case mapping of valid UTF-8 text: the simple mapping plus "İ" →
// "i̇" and the final sigma rule.
std::string lower_case(std::string_view text);

// a + b held at the largest (or smallest) value instead of wrapping: a file system may
// report any allocation, and a total must never wrap around.
constexpr std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}
constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// The same for a shared counter.
inline void saturating_add(std::atomic<std::int64_t>& total, std::int64_t amount) {
    std::int64_t current = total.load(std::memory_order_relaxed);
    while (!total.compare_exchange_weak(current, saturating_add(current, amount),
                                        std::memory_order_relaxed)) {
    }
}

// An unsigned shared counter held at `limit` instead of wrapping.
inline void saturating_add(std::atomic<std::uint64_t>& total, std::uint64_t amount,
                           std::uint64_t limit = std::numeric_limits<std::uint64_t>::max()) {
    std::uint64_t current = total.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t next =
            (current > limit || amount > limit - current) ? limit : current + amount;
        if (total.compare_exchange_weak(current, next, std::memory_order_relaxed)) return;
    }
}

}  // namespace bramvelt::platform
