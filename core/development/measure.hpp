#pragma once
// Measuring a find: allocated bytes (hard links once per find), regular files, newest
// modification and access times, and whether everything was seen. A measurement never
// fails; whatever stops it early makes it incomplete, which blocks removal.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_status.hpp"
#include "platform/listing.hpp"

namespace bramvelt::development {

struct DevScanState;

struct FolderMeasurement {
    std::optional<std::uint64_t> last_modified;
    std::optional<std::uint64_t> last_access;
    std::uint64_t allocated_bytes = 0;
    std::uint64_t files = 0;
    bool complete = false;
};

// The checkout a measurement runs in: its root folder and the tracked paths relative to
// it (absent when `git ls-files` failed or was skipped).
struct RepoContext {
    std::string root;
    std::optional<std::vector<std::string>> tracked;
};

// (device, inode) pairs of multiply-linked files already counted in one find.
using HardLinkSet = std::set<std::pair<std::uint64_t, std::uint64_t>>;

// Folders deeper than this many components are not listed.
inline constexpr std::size_t kMaxMeasureComponents = 64;

FolderMeasurement measure_candidate(DevScanState& state, const std::string& path,
                                    std::uint64_t device, const RepoContext* repo,
                                    HardLinkSet& links);

// Without a Git context and with a hard-link set of its own.
FolderMeasurement measure_candidate(DevScanState& state, const std::string& path,
                                    std::uint64_t device);

// In Git mode Git's own data is skipped, nested checkouts go back to the search's queue
// and recognised artifacts are reported as finds of their own.
enum class GitMode : std::uint8_t { Off, On };

FolderMeasurement measure_folder(DevScanState& state, const std::string& path,
                                 const platform::EntryStatus& status, std::uint64_t device,
                                 const RepoContext* repo, HardLinkSet& links, GitMode git_mode);

// The folder's child paths, lowest `folder_name_rank` first, then by path; nothing when
// the folder cannot be opened, a link on the way included. Counts entries against the
// search's budget. A measurement whose listing ended short is incomplete.
std::optional<std::vector<std::string>> list_children_by_priority(DevScanState& state,
                                                                  const std::string& folder);

// The children of one folder in priority order, read through a descriptor that stays
// open with the listing, so that each child is examined relative to the folder that was
// listed rather than by its whole path again. Closes the descriptor on destruction.
class FolderListing {
  public:
    std::size_t size() const { return entries_.size(); }
    // The i-th name in priority order; NUL-terminated in the listing's own storage.
    std::string_view name(std::size_t i) const {
        return std::string_view(names_).substr(entries_[i].offset, entries_[i].size);
    }
    int fd() const { return reader_.fd(); }
    // Every entry was read: no failed read, no spent budget.
    bool whole() const { return whole_; }
    // `is_git_dir` of the listed folder.
    bool is_git_dir() const;

  private:
    friend std::optional<FolderListing> list_folder(DevScanState&, const std::string&, int,
                                                    const char*);
    struct Entry {
        unsigned rank;
        std::uint32_t offset;
        std::uint32_t size;
    };
    explicit FolderListing(platform::DirEntryReader reader) : reader_(std::move(reader)) {}

    platform::DirEntryReader reader_;
    std::string names_;
    std::vector<Entry> entries_;
    bool whole_ = true;
    bool has_head_ = false;
};

// `list_children_by_priority` keeping the folder open. With an open parent descriptor
// the folder is opened as its entry `name` (never following a link); without one, by
// its path with no link anywhere on the way.
std::optional<FolderListing> list_folder(DevScanState& state, const std::string& folder,
                                         int parent_fd = -1, const char* name = "");

}  // namespace bramvelt::development
