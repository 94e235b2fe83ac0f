#pragma once
// How the front ends group and order development finds: the three categories a find
// falls into and the orders a list can take. Both are one byte wide on purpose: the
// interface keeps them in compact per-row state.

#include <cstdint>
#include <string_view>

namespace bramvelt::cli {

enum class DevCategory : std::uint8_t { Rebuildable = 0, Worktree = 1, Keep = 2 };

enum class DevSortOrder : std::uint8_t { Largest = 0, Oldest = 1, Access = 2 };

// "rebuildable", "worktree" or "keep": the option values and the JSON "category" words.
constexpr std::string_view category_word(DevCategory category) {
    switch (category) {
        case DevCategory::Rebuildable:
            return "rebuildable";
        case DevCategory::Worktree:
            return "worktree";
        case DevCategory::Keep:
            break;
    }
    return "keep";
}

}  // namespace bramvelt::cli
