#pragma once
// Which Git queries the inspection of a checkout will ask, asked ahead through the
// search's pool as soon as what each depends on is known: the common and Git directories
// and HEAD at once; the repository's facts (worktree list, remotes, partial-clone
// settings) when no inspection before it has claimed them; the tracked files and the status
// (with the filter drivers read from the common directory, or Git's listing of them)
// once the common directory is known; the refs containing HEAD and its commit time once
// HEAD is known. The last four only when the repository's own configuration file shows
// it cannot be a partial clone, for which the inspection never runs them. A query the
// inspection then does not ask is dropped uncounted.

#include <optional>
#include <string>

#include "core/development/git_prefetch.hpp"

namespace bramvelt::development {

struct InspectionForecast {
    std::string folder;
    // The common Git directory the walk already found; else the first answer tells.
    std::optional<std::string> common_dir;
    Urgency urgency = Urgency::Now;
};

// Forecasts made with a known common directory claim the repository's facts in the order
// they are made, which must be the order of their inspections.

void forecast_inspection(GitPrefetch& pool, const InspectionForecast& forecast);

// Whether the repository configuration file below `common_dir` shows the repository
// cannot be a partial clone: it exists as a plain file that names no partial-clone
// extension, no promisor and no include, or it does not exist.
bool config_rules_out_partial_clone(const std::string& common_dir);

}  // namespace bramvelt::development
