#include "core/development/measure.hpp"

#include <fcntl.h>  // open flags for platform::open_nofollow_any

#include <algorithm>
#include <expected>

#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/entry_facts.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/io.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

void keep_newest(std::optional<std::uint64_t>& into, const std::optional<std::uint64_t>& other) {
    if (other && (!into || *other > *into)) {
        into = other;
    }
}

// The extension after the last dot of the name: none for "README" or ".hidden", "" for "a.".
std::optional<std::string_view> extension_of(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name == "..") {
        return std::nullopt;
    }
    return name.substr(dot + 1);
}

// The open folder at `path`, opened relative to its already open parent when there is
// one (the parent was reached without links, and the name is opened without following
// one), else by its path without following a link anywhere on the way.
std::expected<platform::Fd, int> open_folder(const std::string& path, int parent_fd,
                                             const char* name) {
    if (parent_fd < 0) {
        return platform::open_nofollow_any(path, O_RDONLY | O_DIRECTORY);
    }
    return platform::open_directory_at(parent_fd, name, platform::FollowFinalLink::no);
}

// What stays the same while one find is measured. A nested artifact is measured with a
// scope of its own: no Git context, Git mode off.
struct MeasureScope {
    DevScanState& state;
    std::uint64_t device;  // the find's file system
    const RepoContext* repo;
    HardLinkSet& links;
    GitMode git_mode;
};

// One entry to measure: its status and where it was met.
struct MeasuredEntry {
    const platform::EntryStatus& status;
    int parent_fd;          // the open folder it was listed in; -1 at the top
    std::string_view name;  // NUL-terminated
    bool path_valid;        // its whole path is valid UTF-8
    std::size_t components;
};

// What a listed folder's measurement does with one child.
enum class ChildStep : std::uint8_t {
    measure,
    measure_incomplete,  // measured, but it keeps its folder from being complete
    skip,                // a worktree's `.git` file: Git's, not the find's
    leave_out,           // not measured; its folder is incomplete
    queue_checkout,      // a nested checkout: the search inspects it on its own
    nested_find,         // a recognised artifact inside a checkout: a find of its own
};

struct ChildDecision {
    ChildStep step = ChildStep::measure;
    std::optional<ArtifactClass> artifact;  // for a nested find
};

// A nested mount root sharing the device (a bind mount) is another file system too.
bool on_other_file_system(const MeasureScope& scope, const MeasuredEntry& entry) {
    return entry.parent_fd >= 0 ? on_other_file_system_at(entry.parent_fd, entry.name.data(),
                                                          entry.status, scope.device)
                                : entry.status.device != scope.device;
}

// The entry itself: its blocks (a hard-linked file's once per find), a regular file's
// count and access time, its modification time.
FolderMeasurement measure_own(const MeasureScope& scope, const MeasuredEntry& entry) {
    const platform::EntryStatus& st = entry.status;
    FolderMeasurement m;
    m.allocated_bytes = allocated_bytes(st);
    m.files = st.is_regular() ? 1 : 0;
    m.last_modified = epoch_seconds(modification_time(st));
    m.last_access = st.is_regular() ? epoch_seconds(access_time(st)) : std::nullopt;
    m.complete = entry.path_valid;
    if (st.is_regular() && st.link_count > 1 && !scope.links.insert({st.device, st.inode}).second) {
        m.allocated_bytes = 0;
    }
    return m;
}

// A child folder holding a `.git` (links followed) or being a Git directory itself.
bool is_checkout_at(int dirfd, std::string_view name) {
    return platform::status_at(dirfd, filesystem::path_join(name, ".git").c_str(),
                               platform::FollowFinalLink::yes)
               .has_value() ||
           is_git_dir_at(dirfd, name);
}

// Decides one child of a listed folder, in this order: Git's own data and nested
// checkouts (Git mode), a Git directory's refs and objects, artifacts inside a checkout
// (Git mode), then what keeps a folder from being proven regenerable (Git mode off).
ChildDecision decide_child(const MeasureScope& scope, const FolderListing& listing,
                           std::string_view folder_name, std::string_view name,
                           const std::string& path, const platform::EntryStatus& st,
                           bool in_git_dir) {
    const bool git_mode = scope.git_mode == GitMode::On;
    if (git_mode && name == ".git") {
        return {st.is_directory() ? ChildStep::leave_out : ChildStep::skip, std::nullopt};
    }
    if (git_mode && st.is_directory() && is_checkout_at(listing.fd(), name)) {
        return {ChildStep::queue_checkout, std::nullopt};
    }
    if (in_git_dir && (name == "refs" || name == "objects")) {
        return {ChildStep::leave_out, std::nullopt};
    }
    if (git_mode && st.is_directory()) {
        if (auto artifact = classify_artifact_at(listing.fd(), name, path, st)) {
            return {ChildStep::nested_find, std::move(artifact)};
        }
    }
    if (!git_mode && name == ".git") {
        return {ChildStep::leave_out, std::nullopt};
    }
    if (!git_mode && folder_name == "__pycache__") {
        const auto ext = extension_of(name);
        if (!ext || is_not_bytecode_ext(*ext)) {
            return {ChildStep::measure_incomplete, std::nullopt};
        }
    }
    return {ChildStep::measure, std::nullopt};
}

void add_sizes(FolderMeasurement& into, const FolderMeasurement& part) {
    into.allocated_bytes = platform::saturating_add(into.allocated_bytes, part.allocated_bytes);
    into.files = platform::saturating_add(into.files, part.files);
    into.complete = into.complete && part.complete;
}

FolderMeasurement measure_entry(const MeasureScope& scope, std::string& path,
                                const MeasuredEntry& entry);

// An artifact met inside a checkout, measured as a find of its own and reported (or kept
// for the measurement made ahead to report). Its times stay out of the checkout's: a
// rebuild does not make the checkout recent.
FolderMeasurement measure_nested_find(const MeasureScope& scope, std::string& path,
                                      const MeasuredEntry& entry, const ArtifactClass& artifact) {
    const FolderMeasurement m =
        measure_entry({scope.state, scope.device, nullptr, scope.links, GitMode::Off}, path, entry);
    DevScanState& state = scope.state;
    if (state.nested_finds != nullptr) {
        const std::size_t listings =
            state.listing_marks != nullptr ? state.listing_marks->size() : 0;
        state.nested_finds->push_back({path, artifact.kind, artifact.tool, m, listings});
    } else {
        build_artifact_candidate(state, path, artifact.kind, artifact.tool, m, scope.repo);
    }
    return m;
}

// Every child of the listed folder at `path`, each decided, then measured and added.
// `path` grows by each child's name in turn and is given back as it was.
void measure_children(const MeasureScope& scope, std::string& path, const FolderListing& listing,
                      const MeasuredEntry& folder, FolderMeasurement& m) {
    DevScanState& state = scope.state;
    const bool in_git_dir = listing.is_git_dir();
    m.complete = m.complete && listing.whole() && !in_git_dir;
    const std::size_t base = path.size();
    const bool needs_separator = path.empty() || path.back() != '/';
    for (std::size_t i = 0; i < listing.size(); ++i) {
        if (state.budget_spent()) {
            m.complete = false;
            break;
        }
        const std::string_view name = listing.name(i);
        path.resize(base);
        if (needs_separator) path.push_back('/');
        path.append(name);
        const auto st =
            platform::status_at(listing.fd(), name.data(), platform::FollowFinalLink::no);
        if (!st) {
            ++state.summary.skipped_paths;
            m.complete = false;
            continue;
        }
        const ChildDecision decision =
            decide_child(scope, listing, folder.name, name, path, *st, in_git_dir);
        const MeasuredEntry child{*st, listing.fd(), name,
                                  folder.path_valid && platform::is_valid_utf8(name),
                                  folder.components + 1};
        switch (decision.step) {
            case ChildStep::skip:
                break;
            case ChildStep::queue_checkout:
                state.folder_queue.emplace_front(path, 0);
                m.complete = false;
                break;
            case ChildStep::leave_out:
                m.complete = false;
                break;
            case ChildStep::nested_find:
                add_sizes(m, measure_nested_find(scope, path, child, *decision.artifact));
                break;
            case ChildStep::measure_incomplete:
                m.complete = false;
                [[fallthrough]];
            case ChildStep::measure: {
                const FolderMeasurement sub = measure_entry(scope, path, child);
                add_sizes(m, sub);
                keep_newest(m.last_modified, sub.last_modified);
                keep_newest(m.last_access, sub.last_access);
                break;
            }
        }
    }
    path.resize(base);
}

// One entry and, for a folder, everything below it on the find's file system.
FolderMeasurement measure_entry(const MeasureScope& scope, std::string& path,
                                const MeasuredEntry& entry) {
    if (on_other_file_system(scope, entry)) {
        ++scope.state.summary.skipped_paths;
        return {};
    }
    FolderMeasurement m = measure_own(scope, entry);
    if (!entry.status.is_directory()) {
        return m;
    }
    if (entry.components > kMaxMeasureComponents || scope.state.budget_spent()) {
        m.complete = false;
        return m;
    }
    const auto listing = list_folder(scope.state, path, entry.parent_fd, entry.name.data());
    if (!listing) {
        m.complete = false;
        return m;
    }
    measure_children(scope, path, *listing, entry, m);
    return m;
}

FolderMeasurement measure_top(DevScanState& state, const std::string& path,
                              const platform::EntryStatus& status, std::uint64_t device,
                              const RepoContext* repo, HardLinkSet& links, GitMode git_mode) {
    std::string buffer = path;
    const std::string_view name = final_name(path).value_or(std::string_view());
    // The name is handed on as a C string only with an open parent, which the top of a
    // measurement never has; the copy keeps it terminated all the same.
    const std::string own_name(name);
    return measure_entry({state, device, repo, links, git_mode}, buffer,
                         {status, -1, own_name, platform::is_valid_utf8(path),
                          filesystem::path_components(path).size()});
}

}  // namespace

std::optional<FolderListing> list_folder(DevScanState& state, const std::string& folder,
                                         int parent_fd, const char* name) {
    auto fd = open_folder(folder, parent_fd, name);
    if (!fd) {
        ++state.summary.skipped_paths;
        return std::nullopt;
    }
    FolderListing listing(platform::DirEntryReader(std::move(*fd)));
    ++state.summary.directories_listed;
    auto& reader = listing.reader_;
    bool reading = true;
    while (reading) {
        const auto batch = reader.read_batch();
        if (batch && *batch == 0) {
            break;
        }
        const std::size_t count = batch ? *batch : 1;
        for (std::size_t i = 0; i < count; ++i) {
            if (state.budget_spent()) {
                listing.whole_ = false;
                reading = false;
                break;
            }
            ++state.summary.entries_examined;
            if (!batch) {
                // The stream cannot be trusted after a failed read.
                ++state.summary.skipped_paths;
                listing.whole_ = false;
                reading = false;
                break;
            }
            const std::string_view child = reader.entries()[i].name;
            listing.has_head_ = listing.has_head_ || child == "HEAD";
            const auto offset = static_cast<std::uint32_t>(listing.names_.size());
            listing.names_.append(child);
            listing.names_.push_back('\0');
            listing.entries_.push_back(FolderListing::Entry{
                folder_name_rank_of_name(child), offset, static_cast<std::uint32_t>(child.size())});
        }
    }
    // Every child shares the folder's prefix, so comparing names compares paths.
    const std::string_view names = listing.names_;
    std::sort(listing.entries_.begin(), listing.entries_.end(),
              [names](const FolderListing::Entry& a, const FolderListing::Entry& b) {
                  if (a.rank != b.rank) {
                      return a.rank < b.rank;
                  }
                  return names.substr(a.offset, a.size) < names.substr(b.offset, b.size);
              });
    if (state.listing_marks != nullptr) {
        state.listing_marks->push_back({state.summary.entries_examined,
                                        state.summary.directories_listed,
                                        state.summary.skipped_paths});
    }
    emit_progress(state);
    return listing;
}

bool FolderListing::is_git_dir() const {
    // A whole listing without HEAD cannot be a Git directory; no need to ask again.
    if (whole_ && !has_head_) {
        return false;
    }
    return is_git_dir_at(fd(), "");
}

FolderMeasurement measure_candidate(DevScanState& state, const std::string& path,
                                    std::uint64_t device, const RepoContext* repo,
                                    HardLinkSet& links) {
    const auto st = platform::status_of_path(path, platform::FollowFinalLink::no);
    if (!st) {
        ++state.summary.skipped_paths;
        return {};
    }
    return measure_top(state, path, *st, device, repo, links, GitMode::Off);
}

FolderMeasurement measure_candidate(DevScanState& state, const std::string& path,
                                    std::uint64_t device) {
    HardLinkSet links;
    return measure_candidate(state, path, device, nullptr, links);
}

FolderMeasurement measure_folder(DevScanState& state, const std::string& path,
                                 const platform::EntryStatus& status, std::uint64_t device,
                                 const RepoContext* repo, HardLinkSet& links, GitMode git_mode) {
    return measure_top(state, path, status, device, repo, links, git_mode);
}

std::optional<std::vector<std::string>> list_children_by_priority(DevScanState& state,
                                                                  const std::string& folder) {
    const auto listing = list_folder(state, folder);
    if (!listing) {
        return std::nullopt;
    }
    std::vector<std::string> paths;
    paths.reserve(listing->size());
    for (std::size_t i = 0; i < listing->size(); ++i) {
        paths.push_back(filesystem::path_join(folder, listing->name(i)));
    }
    return paths;
}

}  // namespace bramvelt::development
