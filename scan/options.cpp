#include "scan/options.hpp"

#include <array>
#include <string>

#include "platform/text.hpp"

namespace bramvelt::scan {

std::optional<ScanProfile> parse_profile(std::string_view word) {
    const std::string lowered = platform::lower_case(word);
    if (lowered == "dev" || lowered == "development") return ScanProfile::Dev;
    if (lowered == "general" || lowered == "default" || lowered == "server") {
        return ScanProfile::General;
    }
    return std::nullopt;
}

WalkPriority directory_class(ScanProfile profile, std::string_view name) {
    if (profile == ScanProfile::General) return WalkPriority::early;
    if (name.empty()) return WalkPriority::normal;
    // Only "A" to "Z" are lowered: a name that merely lower-cases into a listed one under
    // the full mapping (a Kelvin sign for a "k") keeps the ordinary priority.
    std::string lowered(name);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    struct Entry {
        std::string_view name;
        WalkPriority priority;
    };
    using enum WalkPriority;
    static constexpr std::array<Entry, 20> table{{
        {"users", first},        {"music", first},
        {"movies", first},       {"desktop", first},
        {"pictures", first},     {"downloads", first},
        {"documents", first},    {"projects", early},
        {"applications", early}, {"usr", late},
        {"cores", late},         {"system", late},
        {"private", late},       {"library", late},
        {".fseventsd", late},    {".spotlight-v100", late},
        {"__pycache__", last},   {".mypy_cache", last},
        {".ruff_cache", last},   {".pytest_cache", last},
    }};
    for (const auto& entry : table) {
        if (entry.name == lowered) return entry.priority;
    }
    return WalkPriority::normal;
}

}  // namespace bramvelt::scan
