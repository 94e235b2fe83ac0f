#include "src/cli/dev_view_model.hpp"

#include <fmt/format.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utf8proc.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <ranges>
#include <span>

#include "platform/os_error.hpp"
#include "platform/utf8.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > kMax - a ? kMax : a + b;
}

bool all_zero_counts(const development::GitDetail& git) {
    return git.staged == 0 && git.modified == 0 && git.untracked == 0 && git.ignored_unknown == 0;
}

// Unicode's Cased property. Beyond the letter categories it holds a few symbols and
// number forms (ª, º, Roman numerals, circled and squared letters); the other members of
// Other_Lowercase are modifier letters, which the sigma rule skips as case-ignorable anyway.
bool is_cased(char32_t c) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    if (category == UTF8PROC_CATEGORY_LU || category == UTF8PROC_CATEGORY_LL ||
        category == UTF8PROC_CATEGORY_LT) {
        return true;
    }
    return c == 0xAA || c == 0xBA || (c >= 0x2160 && c <= 0x217F) || (c >= 0x24B6 && c <= 0x24E9) ||
           (c >= 0x1F130 && c <= 0x1F149) || (c >= 0x1F150 && c <= 0x1F169) ||
           (c >= 0x1F170 && c <= 0x1F189);
}

// Unicode's Case_Ignorable property: marks, format characters, modifiers, and the
// apostrophes, periods and colons that may stand inside a word.
bool is_case_ignorable(char32_t c) {
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
        case UTF8PROC_CATEGORY_MN:
        case UTF8PROC_CATEGORY_ME:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_LM:
        case UTF8PROC_CATEGORY_SK:
            return true;
        default:
            break;
    }
    static constexpr char32_t in_word[] = {0x0027, 0x002E, 0x003A, 0x00B7, 0x0387, 0x055F,
                                           0x05F4, 0x2018, 0x2019, 0x2024, 0x2027, 0xFE13,
                                           0xFE52, 0xFE55, 0xFF07, 0xFF0E, 0xFF1A};
    return std::ranges::find(in_word, c) != std::end(in_word);
}

// Whether a cased letter comes first after skipping case-ignorable characters.
template <typename Range>
bool case_ignorable_then_cased(const Range& code_points) {
    for (const char32_t c : code_points) {
        if (!is_case_ignorable(c)) return is_cased(c);
    }
    return false;
}

// Ordering by path components, so that a folder sorts right before what lies inside it
// ("/a", "/a/b", "/a-b") whatever bytes follow the separator.
bool component_less(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (true) {
        const bool a_done = i > a.size();
        const bool b_done = j > b.size();
        if (a_done || b_done) return a_done && !b_done;
        std::size_t a_end = a.find('/', i);
        if (a_end == std::string_view::npos) a_end = a.size();
        std::size_t b_end = b.find('/', j);
        if (b_end == std::string_view::npos) b_end = b.size();
        const auto pa = a.substr(i, a_end - i);
        const auto pb = b.substr(j, b_end - j);
        if (pa != pb) return pa < pb;
        i = a_end + 1;
        j = b_end + 1;
    }
}

}  // namespace

DevCategory item_category(const DevCandidate& c) {
    if (!c.measurement_complete) return DevCategory::Keep;
    if (c.recommendation == development::kRecommendRegenerable && !c.git &&
        (c.kind == "dependencies" || c.kind == "build" || c.kind == "cache")) {
        return DevCategory::Rebuildable;
    }
    if (c.kind == "worktree" && c.recommendation == development::kRecommendReviewRemoval && c.git) {
        const auto& g = *c.git;
        if (g.head && !g.head->empty() && !g.repository.empty() &&
            g.dirty == development::DirtyState::No && all_zero_counts(g) && !g.locked &&
            !g.operation_in_progress && !g.shallow && !g.partial_history &&
            (!g.merged_into.empty() || !g.verified_remote_refs.empty())) {
            return DevCategory::Worktree;
        }
    }
    return DevCategory::Keep;
}

std::string_view item_badge(const DevCandidate& c) {
    const DevCategory category = item_category(c);
    if (category == DevCategory::Rebuildable) {
        return c.kind == "dependencies" ? "Downloadable again" : "Rebuildable";
    }
    if (category == DevCategory::Worktree) return "Commits preserved";
    if (c.kind == "repository") return "Keep repository";
    if (!c.git) return c.measurement_complete ? "Needs investigation" : "Partial scan";
    const auto& g = *c.git;
    if (g.dirty == development::DirtyState::Yes || g.staged > 0 || g.modified > 0 ||
        g.untracked > 0) {
        return "Local changes";
    }
    if (g.locked) return "Locked worktree";
    if (g.operation_in_progress) return "Git operation running";
    if (g.ignored_unknown > 0) return "Unrecognized files";
    if (g.dirty == development::DirtyState::NotEstablished) return "Checks incomplete";
    if (!g.shallow && !g.partial_history) {
        return c.measurement_complete ? "History not verified" : "Partial scan";
    }
    return "History incomplete";
}

std::string item_label(const DevCandidate& c) {
    const std::string& tool = c.tool;
    if (c.kind == "worktree") return "Git worktree";
    if (c.kind == "repository") return "Git repository";
    if (c.kind == "temporary") return "Temporary files";
    if (c.kind == "cache") return tool.ends_with("cache") ? tool : fmt::format("{} cache", tool);
    if (c.kind == "build") {
        return tool.ends_with("build") ? fmt::format("{} output", tool)
                                       : fmt::format("{} build output", tool);
    }
    if (c.kind == "dependencies") {
        return tool.ends_with("packages") || tool.ends_with("cache")
                   ? tool
                   : fmt::format("{} packages", tool);
    }
    return tool;
}

std::string lowercase(std::string_view text) {
    std::vector<char32_t> code_points;
    code_points.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        code_points.push_back(platform::next_code_point(text, pos));
    }
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < code_points.size(); ++i) {
        const char32_t c = code_points[i];
        if (c == U'\u0130') {
            // The one unconditional full mapping that the simple mapping lacks.
            out += "i\u0307";
        } else if (c == U'\u03A3') {
            // Final sigma: a cased letter before it and none after it, looking past
            // apostrophes, marks and the like on both sides.
            const std::span<const char32_t> before(code_points.data(), i);
            const std::span<const char32_t> after(code_points.data() + i + 1,
                                                  code_points.size() - i - 1);
            const bool final = case_ignorable_then_cased(std::views::reverse(before)) &&
                               !case_ignorable_then_cased(after);
            out += final ? "\u03C2" : "\u03C3";
        } else {
            platform::append_utf8(
                out, static_cast<char32_t>(utf8proc_tolower(static_cast<utf8proc_int32_t>(c))));
        }
    }
    return out;
}

bool contains_lowercase(std::string_view needle_lower, std::string_view text) {
    return lowercase(text).find(needle_lower) != std::string::npos;
}

bool item_matches_filter(const DevItemFilter& filter, std::uint64_t now, const DevCandidate& c) {
    if (filter.category && *filter.category != item_category(c)) return false;
    if (c.allocated_bytes < filter.min_size) return false;
    if (!filter.kinds.empty() && std::ranges::find(filter.kinds, c.kind) == filter.kinds.end()) {
        return false;
    }
    if (filter.older_than_days != 0) {
        const std::uint64_t span =
            filter.older_than_days > kMax / 86'400 ? kMax : filter.older_than_days * 86'400;
        const std::uint64_t cutoff = span > now ? 0 : now - span;
        if (!c.last_modified || *c.last_modified > cutoff) return false;
    }
    const std::string needle = lowercase(platform::trim_white_space(filter.search));
    if (needle.empty()) return true;
    if (contains_lowercase(needle, c.path) || contains_lowercase(needle, c.tool)) return true;
    return c.git && c.git->branch && contains_lowercase(needle, *c.git->branch);
}

std::vector<const DevCandidate*> filter_and_sort_items(const DevItemFilter& filter,
                                                       std::span<const DevCandidate> candidates,
                                                       std::uint64_t now) {
    std::vector<const DevCandidate*> items;
    for (const auto& c : candidates) {
        if (item_matches_filter(filter, now, c)) items.push_back(&c);
    }
    // Older first; a find without a time goes last.
    const auto time_less = [](const std::optional<std::uint64_t>& a,
                              const std::optional<std::uint64_t>& b) {
        if (a && b) return *a < *b;
        return a.has_value() && !b.has_value();
    };
    const auto access_time = [](const DevCandidate& c) {
        return c.git ? c.last_modified : c.last_access_estimate;
    };
    std::ranges::stable_sort(items, [&](const DevCandidate* a, const DevCandidate* b) {
        switch (filter.sort) {
            case DevSortOrder::Largest:
                if (a->allocated_bytes != b->allocated_bytes) {
                    return a->allocated_bytes > b->allocated_bytes;
                }
                break;
            case DevSortOrder::Oldest:
                if (time_less(a->last_modified, b->last_modified)) return true;
                if (time_less(b->last_modified, a->last_modified)) return false;
                break;
            case DevSortOrder::Access:
                if (time_less(access_time(*a), access_time(*b))) return true;
                if (time_less(access_time(*b), access_time(*a))) return false;
                break;
        }
        return a->path < b->path;
    });
    return items;
}

std::vector<const DevCandidate*> reclaimable_items(std::span<const DevCandidate* const> items) {
    std::vector<const DevCandidate*> sorted;
    for (const DevCandidate* c : items) {
        if (item_category(*c) != DevCategory::Keep) sorted.push_back(c);
    }
    std::ranges::stable_sort(sorted, [](const DevCandidate* a, const DevCandidate* b) {
        return component_less(a->path, b->path);
    });
    std::vector<const DevCandidate*> kept;
    std::string_view last;
    for (const DevCandidate* c : sorted) {
        if (!kept.empty()) {
            const std::string_view path = c->path;
            if (path == last ||
                (path.size() > last.size() && path.starts_with(last) && path[last.size()] == '/')) {
                continue;
            }
        }
        kept.push_back(c);
        last = c->path;
        while (last.ends_with('/')) last.remove_suffix(1);
    }
    return kept;
}

std::uint64_t reclaimable_total(std::span<const DevCandidate* const> items) {
    std::uint64_t total = 0;
    for (const DevCandidate* c : reclaimable_items(items)) {
        total = saturating_add(total, c->allocated_bytes);
    }
    return total;
}

std::uint64_t reclaimable_total_of_items(std::span<const DevCandidate> items) {
    std::vector<const DevCandidate*> refs;
    refs.reserve(items.size());
    for (const auto& c : items) refs.push_back(&c);
    return reclaimable_total(refs);
}

std::expected<std::string, std::string> resolve_target(std::string_view folder,
                                                       std::string_view current_dir) {
    std::string joined;
    if (!folder.empty() && folder.front() == '/') {
        joined = folder;
    } else {
        joined = current_dir;
        if (!joined.ends_with('/')) joined += '/';
        joined += folder;
    }
    const auto failure = [&](int error) {
        return std::unexpected(fmt::format("{}: {}",
                                           escape_for_display(platform::to_utf8_lossy(joined)),
                                           platform::os_error_text(error)));
    };
    char resolved[PATH_MAX];
    if (::realpath(joined.c_str(), resolved) == nullptr) return failure(errno);
    struct stat st {};
    if (::stat(resolved, &st) != 0 || !S_ISDIR(st.st_mode)) {
        return std::unexpected(fmt::format("not a directory: {}",
                                           escape_for_display(platform::to_utf8_lossy(resolved))));
    }
    // Searches and cleanups take folders as text. A folder whose real path is not UTF-8
    // would become another path once its bad bytes were replaced (one that may exist and
    // be searched or cleaned in its place), so it is refused instead.
    if (!platform::is_valid_utf8(resolved)) return failure(EILSEQ);
    return std::string(resolved);
}

std::expected<std::vector<std::string>, std::string> resolve_targets(
    std::span<const std::string> folders) {
    if (folders.empty()) return std::vector<std::string>{"/"};
    char* cwd = ::getcwd(nullptr, 0);
    if (cwd == nullptr) return std::unexpected(platform::os_error_text(errno));
    const std::string current_dir(cwd);
    std::free(cwd);
    std::vector<std::string> targets;
    targets.reserve(folders.size());
    for (const auto& folder : folders) {
        auto target = resolve_target(folder, current_dir);
        if (!target) return std::unexpected(std::move(target.error()));
        targets.push_back(std::move(*target));
    }
    return targets;
}

std::string describe_targets(std::span<const std::string> targets,
                             const std::optional<std::string>& home) {
    if (std::ranges::find(targets, "/") != targets.end()) return "usual development locations";
    std::string out;
    for (const auto& target : targets) {
        if (!out.empty()) out += ", ";
        out += display_path(target, home);
    }
    return out;
}

}  // namespace bramvelt::cli
