#pragma once
// The records a development search reports: one `DevCandidate` per find, the counters of
// the search (`DevScanSummary`) and the events that carry them to the caller's sink.
// All are plain values; a sink owns what it is handed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bramvelt::development {

inline constexpr std::uint64_t kMaxRoots = 32;
inline constexpr std::uint64_t kMaxSearchDepth = 16;
inline constexpr std::uint64_t kMaxSearchEntries = 10'000'000;
inline constexpr std::uint64_t kMaxCandidates = 2'000;
inline constexpr std::size_t kMaxWarnings = 16;

// What a find is: an artifact folder by what made it, a scratch file, or a Git checkout.
enum class CandidateKind : std::uint8_t {
    Build,
    Cache,
    Dependencies,
    Temporary,
    Worktree,
    Repository,
};

// What the search advises for a find; only the first and third may lead to a removal.
enum class Recommendation : std::uint8_t { Regenerable, Review, ReviewRemoval, Keep };

// The words the documents and the --kind option use.
constexpr std::string_view kind_word(CandidateKind kind) {
    switch (kind) {
        case CandidateKind::Build:
            return "build";
        case CandidateKind::Cache:
            return "cache";
        case CandidateKind::Dependencies:
            return "dependencies";
        case CandidateKind::Temporary:
            return "temporary";
        case CandidateKind::Worktree:
            return "worktree";
        case CandidateKind::Repository:
            break;
    }
    return "repository";
}

constexpr std::optional<CandidateKind> kind_from_word(std::string_view word) {
    for (const CandidateKind kind :
         {CandidateKind::Build, CandidateKind::Cache, CandidateKind::Dependencies,
          CandidateKind::Temporary, CandidateKind::Worktree, CandidateKind::Repository}) {
        if (word == kind_word(kind)) return kind;
    }
    return std::nullopt;
}

constexpr std::string_view recommendation_word(Recommendation recommendation) {
    switch (recommendation) {
        case Recommendation::Regenerable:
            return "regenerable";
        case Recommendation::Review:
            return "review";
        case Recommendation::ReviewRemoval:
            return "review_removal";
        case Recommendation::Keep:
            break;
    }
    return "keep";
}

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

// One find. `git` is present exactly for the kinds Worktree and Repository.
struct DevCandidate {
    std::string path;
    CandidateKind kind = CandidateKind::Build;
    std::string tool;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t files = 0;
    bool measurement_complete = false;
    std::optional<std::uint64_t> last_modified;
    std::optional<std::uint64_t> last_access_estimate;
    Recommendation recommendation = Recommendation::Review;
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
