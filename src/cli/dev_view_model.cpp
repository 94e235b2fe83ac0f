#include "src/cli/dev_view_model.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <ranges>
#include <span>

#include "platform/file_status.hpp"
#include "platform/os_error.hpp"
#include "platform/real_path.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"
#include "platform/working_directory.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool all_zero_counts(const development::GitDetail& git) {
    return git.staged == 0 && git.modified == 0 && git.untracked == 0 && git.ignored_unknown == 0;
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
    using enum development::CandidateKind;
    if (!c.measurement_complete) return DevCategory::Keep;
    if (c.recommendation == development::Recommendation::Regenerable && !c.git &&
        (c.kind == Dependencies || c.kind == Build || c.kind == Cache)) {
        return DevCategory::Rebuildable;
    }
    if (c.kind == Worktree && c.recommendation == development::Recommendation::ReviewRemoval &&
        c.git) {
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
    using enum development::CandidateKind;
    const DevCategory category = item_category(c);
    if (category == DevCategory::Rebuildable) {
        return c.kind == Dependencies ? "Downloadable again" : "Rebuildable";
    }
    if (category == DevCategory::Worktree) return "Commits preserved";
    if (c.kind == Repository) return "Keep repository";
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
    switch (c.kind) {
        case development::CandidateKind::Worktree:
            return "Git worktree";
        case development::CandidateKind::Repository:
            return "Git repository";
        case development::CandidateKind::Temporary:
            return "Temporary files";
        case development::CandidateKind::Cache:
            return tool.ends_with("cache") ? tool : fmt::format("{} cache", tool);
        case development::CandidateKind::Build:
            return tool.ends_with("build") ? fmt::format("{} output", tool)
                                           : fmt::format("{} build output", tool);
        case development::CandidateKind::Dependencies:
            break;
    }
    return tool.ends_with("packages") || tool.ends_with("cache") ? tool
                                                                 : fmt::format("{} packages", tool);
}

bool contains_lowercase(std::string_view needle_lower, std::string_view text) {
    return platform::lower_case(text).find(needle_lower) != std::string::npos;
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
    const std::string needle = platform::lower_case(platform::trim_white_space(filter.search));
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
        total = platform::saturating_add(total, c->allocated_bytes);
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
    // Not real_directory: a folder that cannot be resolved and a resolved entry that is
    // not a folder are reported differently.
    auto resolved = platform::real_path(joined);
    if (!resolved) return failure(resolved.error());
    const auto status = platform::status_of_path(*resolved, platform::FollowFinalLink::yes);
    if (!status || !status->is_directory()) {
        return std::unexpected(fmt::format("not a directory: {}",
                                           escape_for_display(platform::to_utf8_lossy(*resolved))));
    }
    // Searches and cleanups take folders as text. A folder whose real path is not UTF-8
    // would become another path once its bad bytes were replaced (one that may exist and
    // be searched or cleaned in its place), so it is refused instead.
    if (!platform::is_valid_utf8(*resolved)) return failure(EILSEQ);
    return std::move(*resolved);
}

std::expected<std::vector<std::string>, std::string> resolve_targets(
    std::span<const std::string> folders) {
    if (folders.empty()) return std::vector<std::string>{"/"};
    const auto current = platform::working_directory();
    if (!current) return std::unexpected(platform::os_error_text(current.error()));
    const std::string& current_dir = *current;
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
