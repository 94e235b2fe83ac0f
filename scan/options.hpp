#pragma once
// What a caller asks of one scan. The engine copies the options into its session and
// never changes them.

#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>

namespace bramvelt::scan {

// Scheduling order of the subdirectories of a listing.
enum class ScanProfile : std::uint8_t { Dev = 0, General = 1 };

// Every file of a directory becomes a node.
struct KeepAll {};
// At most `max_children` files of a directory, the largest ones, and none smaller than
// `min_size`, become nodes; the rest are summed into one aggregate node.
struct KeepLargest {
    std::uint64_t max_children = 0;
    std::uint64_t min_size = 0;
};
using ChildRetention = std::variant<KeepAll, KeepLargest>;

// A duration as whole seconds and nanoseconds.
struct SnapshotInterval {
    std::uint64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    double as_seconds() const {
        return static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9;
    }
};

// The deepest level any walk enters, whatever is asked.
inline constexpr unsigned kMaxScanDepth = 512;

struct ScanOptions {
    ChildRetention retention = KeepAll{};
    SnapshotInterval snapshot_interval{2, 0};  // zero: a snapshot after every finished job
    unsigned jobs = 4;                         // worker threads; 0 counts as 1, at most 64
    unsigned max_depth = kMaxScanDepth;
    bool collapse_packages = true;  // bundle folders become "package" nodes
    bool skip_links = true;         // symbolic links are left out of the walk entirely
    ScanProfile profile = ScanProfile::General;
    bool one_filesystem = true;     // directories on other devices become MountPoint leaves
    bool portable_listing = false;  // plain reader without the identity check
};

// "dev"/"development" give Dev, "general"/"default"/"server" General, in any case.
std::optional<ScanProfile> parse_profile(std::string_view word);

// When a directory is walked relative to the others waiting with it: lower first. Only
// the order counts, and a stable sort keeps the listing order among equals.
enum class WalkPriority : std::uint8_t { first = 0, early = 1, normal = 2, late = 3, last = 4 };

// The priority of a subdirectory name under the profile: under Dev, personal folders
// first, then projects and applications, then any other name, then system folders, and
// tool caches last; under General one priority for every name.
WalkPriority directory_class(ScanProfile profile, std::string_view name);

}  // namespace bramvelt::scan
