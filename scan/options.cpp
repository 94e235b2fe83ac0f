#include "scan/options.hpp"

#include <array>
#include <string>

namespace bramvelt::scan {
namespace {

// Full lower-case mapping of the few characters that matter here: any word that is not
// ASCII after lowering cannot be one of the profile words, so non-ASCII input only has
// to stay non-ASCII. U+0130 (I with dot above) lowers to "i" + U+0307, still not a word.
std::string lower_profile_word(std::string_view word) {
    std::string out;
    out.reserve(word.size());
    for (const char c : word) {
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    // The Kelvin sign (U+212A) lowers to "k"; no profile word holds a k, so it cannot
    // turn a non-word into a word. Nothing else outside ASCII lowers into ASCII.
    return out;
}

}  // namespace

std::optional<ScanProfile> parse_profile(std::string_view word) {
    const std::string lowered = lower_profile_word(word);
    if (lowered == "dev" || lowered == "development") return ScanProfile::Dev;
    if (lowered == "general" || lowered == "default" || lowered == "server") {
        return ScanProfile::General;
    }
    return std::nullopt;
}

unsigned directory_class(ScanProfile profile, std::string_view name) {
    if (profile == ScanProfile::General) return 1;
    if (name.empty()) return 2;
    std::string lowered(name);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    struct Entry {
        std::string_view name;
        unsigned cls;
    };
    static constexpr std::array<Entry, 20> table{{
        {"users", 0},        {"music", 0},       {"movies", 0},      {"desktop", 0},
        {"pictures", 0},     {"downloads", 0},   {"documents", 0},   {"projects", 1},
        {"applications", 1}, {"usr", 3},         {"cores", 3},       {"system", 3},
        {"private", 3},      {"library", 3},     {".fseventsd", 3},  {".spotlight-v100", 3},
        {"__pycache__", 4},  {".mypy_cache", 4}, {".ruff_cache", 4}, {".pytest_cache", 4},
    }};
    for (const auto& entry : table) {
        if (entry.name == lowered) return entry.cls;
    }
    return 2;
}

}  // namespace bramvelt::scan
