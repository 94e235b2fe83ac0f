#pragma once
// The records a development search reports: one `DevCandidate` per find, the counters of
// the search (`DevScanSummary`) and the events that carry them to the caller's sink.
// All are plain values; a sink owns what it is handed.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace bramvelt::development {

inline constexpr std::uint64_t MAX_ROOTS = 32;
inline constexpr std::uint64_t MAX_SEARCH_DEPTH = 16;
inline constexpr std::uint64_t MAX_SEARCH_ENTRIES = 10'000'000;
inline constexpr std::uint64_t MAX_CANDIDATES = 2'000;
inline constexpr std::size_t MAX_WARNINGS = 16;

inline constexpr const char* kRecommendRegenerable = "regenerable";
inline constexpr const char* kRecommendReview = "review";
inline constexpr const char* kRecommendReviewRemoval = "review_removal";
inline constexpr const char* kRecommendKeep = "keep";

struct DevScanRequest {
    std::vector<std::string> roots;
    std::uint64_t max_depth = 8;
    std::uint64_t max_entries = 2'000'000;
    bool verify_remotes = false;
};

// Whether a checkout has changes; NotEstablished when the status check failed or was
// skipped, which blocks removal like Yes does.
enum class DirtyState : std::uint8_t { No, Yes, NotEstablished };

// The Git evidence of one repository or worktree.
struct GitDetail {
    std::string repository;
    std::optional<std::string> branch;
    std::optional<std::string> head;
    DirtyState dirty = DirtyState::NotEstablished;
    std::uint64_t staged = 0;
    std::uint64_t modified = 0;
    std::uint64_t untracked = 0;
    std::uint64_t ignored_unknown = 0;
    bool locked = false;
    bool shallow = false;
    bool partial_history = false;
    bool operation_in_progress = false;
    std::vector<std::string> merged_into;
    std::vector<std::string> cached_remote_refs;
    std::vector<std::string> verified_remote_refs;
    std::optional<std::uint64_t> remote_checked_at;
    std::optional<std::uint64_t> last_fetch;
    std::optional<std::uint64_t> last_commit;
    std::optional<std::uint64_t> last_git_activity;

    bool operator==(const GitDetail&) const = default;
};

// One find. `git` is present exactly for the kinds "worktree" and "repository".
struct DevCandidate {
    std::string path;
    std::string kind;
    std::string tool;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t files = 0;
    bool measurement_complete = false;
    std::optional<std::uint64_t> last_modified;
    std::optional<std::uint64_t> last_access_estimate;
    std::string recommendation;
    std::vector<std::string> reasons;
    std::optional<GitDetail> git;

    bool operator==(const DevCandidate&) const = default;
};

struct DevScanSummary {
    std::vector<std::string> roots;
    std::uint64_t candidates = 0;
    std::uint64_t candidate_bytes = 0;
    std::uint64_t entries_examined = 0;
    std::uint64_t directories_listed = 0;
    std::uint64_t git_commands = 0;
    std::uint64_t skipped_paths = 0;
    std::uint64_t elapsed_ms = 0;
    bool limited = false;
    bool cancelled = false;
    std::vector<std::string> warnings;

    bool operator==(const DevScanSummary&) const = default;
};

struct DevScanEvent {
    struct Candidate {
        DevCandidate candidate;
    };
    struct Progress {
        DevScanSummary summary;
    };
    struct Finished {
        DevScanSummary summary;
    };
    std::variant<Candidate, Progress, Finished> value;
};

// The caller's receiver. Called on the searching thread, synchronously; it cannot fail.
// A sink that can no longer deliver stops the search through the search's cancel flag.
class DevScanSink {
  public:
    virtual ~DevScanSink() = default;
    virtual void on_event(DevScanEvent event) = 0;
};

// The sink of a single-item re-check: keeps the candidates, ignores everything else.
class CandidateListSink final : public DevScanSink {
  public:
    void on_event(DevScanEvent event) override;
    std::vector<DevCandidate>& candidates() { return candidates_; }

  private:
    std::vector<DevCandidate> candidates_;
};

}  // namespace bramvelt::development
