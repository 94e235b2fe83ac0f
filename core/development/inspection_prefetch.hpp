#pragma once
// Which Git queries the inspection of a checkout will ask, asked ahead through the
// search's pool as soon as what each depends on is known: the common and Git directories
// and HEAD at once; the repository's facts (worktree list, remotes, partial-clone
// settings) when the common directory is known beforehand and no inspection before it has
// claimed them; the status (with the filter drivers read from the common directory, or
// Git's listing of them) once the common directory is known, and the tracked files once
// the status has ended (their index flags must be read after it); the refs containing
// HEAD and its commit time once HEAD is known. The last four only when the repository's
// own configuration file shows it cannot be a partial clone, for which the inspection
// never runs them. A query the inspection then does not ask is dropped uncounted.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/development/git_prefetch.hpp"
#include "core/development/walk_lookahead.hpp"

namespace bramvelt::development {

// Told that the status asked for a checkout has ended, so that what must come after it
// (its measurement) can start; `later` when its inspection waits for the walk.
using StatusEnded = std::function<void(const std::string& folder, bool later)>;

struct InspectionForecast {
    std::string folder;
    // The common Git directory the walk already found; else the first answer tells.
    std::optional<std::string> common_dir;
    Urgency urgency = Urgency::Now;
    // The folder's generation the forecast belongs to; none: the current one.
    std::optional<std::uint64_t> generation;
    StatusEnded status_ended;
};

// Forecasts made with a known common directory claim the repository's facts in the order
// they are made, which must be the order of their inspections.
void forecast_inspection(GitPrefetch& pool, const InspectionForecast& forecast);

// Whether the repository configuration file below `common_dir` shows the repository
// cannot be a partial clone: it exists as a plain file that names no partial-clone
// extension, no promisor and no include, or it does not exist.
bool config_rules_out_partial_clone(const std::string& common_dir);

// The inspection in `folder` is about to gather its repository's facts: the queries for
// them start side by side unless a forecast asked them already.
enum class WorktreeListKnown : std::uint8_t { No, Yes };
void ask_repository_facts(GitPrefetch& pool, const std::string& folder,
                          const std::string& common_dir, WorktreeListKnown list);

// A folder the walk has queued holds a ".git": what the walk will ask Git when it gets
// there is asked, unless it has got there already. A main checkout's common directory and
// worktree list (its own inspection is forecast once the walk has read them); for any
// other checkout, which the walk inspects at once, that inspection.
void forecast_queued_checkout(GitPrefetch& pool, const QueuedFolder& folder, bool main_checkout,
                              const WalkOrder& order, const StatusEnded& status_ended);

}  // namespace bramvelt::development
