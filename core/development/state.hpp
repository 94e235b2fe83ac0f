#pragma once
// The working state of one development search, and the three ways every step reports
// through it: finds, throttled progress and warnings. The cleanup engine builds one of
// its own for a single-item re-check, with a `CandidateListSink`.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/development/git_launch.hpp"
#include "core/development/measure.hpp"
#include "core/development/repo_facts.hpp"
#include "core/development/types.hpp"
#include "core/development/worktree_list.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::development {

using SearchClock = std::function<std::chrono::steady_clock::time_point()>;

inline constexpr std::chrono::milliseconds kProgressInterval{250};
inline constexpr std::chrono::seconds kSearchTimeLimit{120};
// Local Git queries get this many seconds; remote ones twice as many.
inline constexpr std::uint64_t kGitTimeoutSeconds = 5;

inline constexpr std::string_view kWarningRemoteUnverified =
    "A remote could not be verified; cached refs are not a confirmed backup.";
inline constexpr std::string_view kWarningLimit =
    "Scan limit reached; incomplete measurements and checks cannot establish removal "
    "eligibility.";
inline constexpr std::string_view kWarningSkipped =
    "Some paths were inaccessible, on another filesystem, or outside the selected scope.";

class GitPrefetch;
class MeasureAhead;

// An artifact a checkout's measurement met inside it, as a measurement made ahead records
// it instead of reporting it: the search reports it when it replays the measurement.
struct NestedArtifactFind {
    std::string path;
    CandidateKind kind = CandidateKind::Build;
    std::string tool;
    FolderMeasurement measurement;
    std::size_t listings_before = 0;  // listings recorded when it was met
};

// The search's counters after one folder listing, as a measurement made ahead records
// them for the search to replay.
struct ListingMark {
    std::uint64_t entries_examined = 0;
    std::uint64_t directories_listed = 0;
    std::uint64_t skipped_paths = 0;
    bool operator==(const ListingMark&) const = default;
};

struct DevScanState {
    // `clock` defaults to the monotonic clock; tests inject their own.
    DevScanState(DevScanRequest request, std::vector<std::string> roots, CancelFlag cancel,
                 DevScanSink& sink, SearchClock clock = {});

    DevScanRequest request;
    std::vector<std::string> roots;
    DevScanSummary summary;
    std::deque<std::string> git_queue;
    std::deque<std::pair<std::string, std::uint64_t>> folder_queue;
    std::vector<DevCandidate> kept_candidates;
    SearchClock clock;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point last_progress;
    CancelFlag cancel;
    std::unordered_set<std::string> visited;
    std::map<std::string, RepoFacts> repo_facts;
    std::map<std::string, std::vector<WorktreeEntry>> worktree_lists;
    DevScanSink* sink;
    std::uint64_t git_timeout_seconds = kGitTimeoutSeconds;
    // Git commands asked ahead by a pool of children; none when each runs when reached.
    GitPrefetch* prefetch = nullptr;
    // Folders measured ahead by other threads; none when measured when reached.
    MeasureAhead* measure_ahead = nullptr;
    // Told, from any thread, that a checkout's status asked ahead has ended.
    std::function<void(const std::string& folder, bool later)> checkout_status_ended;
    // Where a measurement made ahead records the counters after each listing, and the
    // artifacts met inside a checkout.
    std::vector<ListingMark>* listing_marks = nullptr;
    std::vector<NestedArtifactFind>* nested_finds = nullptr;

    std::chrono::steady_clock::time_point now() const { return clock(); }
    // Time since the start; a reading before the start counts as none.
    std::chrono::steady_clock::duration elapsed() const;
    bool cancelled() const { return is_cancelled(cancel); }
    // The search budget: entries or finds used up, or the time limit passed (each sets
    // `limited`), or the cancel flag set (which does not). True when spent.
    bool budget_spent();
    // How `git` starts in this search: looked up and its environment built at the first
    // command, then kept.
    const GitLaunch& git_launch();

  private:
    std::optional<GitLaunch> git_launch_;
};

// Counts, sends and keeps a find; beyond kMaxCandidates it is dropped and the search
// marked limited.
void emit_candidate(DevScanState& state, DevCandidate candidate);
// Sends a copy of the summary, at most once per kProgressInterval.
void emit_progress(DevScanState& state);
// At most kMaxWarnings distinct texts, in the order added.
void add_scan_warning(DevScanState& state, std::string_view text);

}  // namespace bramvelt::development
