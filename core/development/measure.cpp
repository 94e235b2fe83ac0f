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

FolderMeasurement measure_entry(DevScanState& state, std::string& path,
                                const platform::EntryStatus& st, std::uint64_t device,
                                const RepoContext* repo, HardLinkSet& links, GitMode git_mode,
                                int parent_fd, std::string_view name, bool path_valid,
                                std::size_t components) {
    // A nested mount root sharing the device (a bind mount) is another file system too.
    const bool other_fs = parent_fd >= 0
                              ? on_other_file_system_at(parent_fd, name.data(), st, device)
                              : st.device != device;
    if (other_fs) {
        ++state.summary.skipped_paths;
        return {};
    }
    FolderMeasurement m;
    m.allocated_bytes = allocated_bytes(st);
    m.files = st.is_regular() ? 1 : 0;
    m.last_modified = epoch_seconds(modification_time(st));
    m.last_access = st.is_regular() ? epoch_seconds(access_time(st)) : std::nullopt;
    m.complete = path_valid;
    if (st.is_symlink()) {
        return m;
    }
    if (st.is_regular() && st.link_count > 1) {
        if (!links.insert({st.device, st.inode}).second) {
            m.allocated_bytes = 0;
        }
    }
    if (!st.is_directory()) {
        return m;
    }
    if (components > kMaxMeasureComponents || state.budget_spent()) {
        m.complete = false;
        return m;
    }
    auto listing = list_folder(state, path, parent_fd, name.data());
    if (!listing) {
        m.complete = false;
        return m;
    }
    if (!listing->whole()) {
        m.complete = false;
    }
    const int dirfd = listing->fd();
    const bool git_dir = listing->is_git_dir();
    if (git_dir) {
        m.complete = false;
    }
    const bool pycache = name == "__pycache__";
    const std::size_t base = path.size();
    const bool needs_separator = path.empty() || path.back() != '/';
    for (std::size_t i = 0; i < listing->size(); ++i) {
        if (state.budget_spent()) {
            m.complete = false;
            break;
        }
        const std::string_view child_name = listing->name(i);
        path.resize(base);
        if (needs_separator) path.push_back('/');
        path.append(child_name);
        const auto cst =
            platform::status_at(dirfd, child_name.data(), platform::FollowFinalLink::no);
        if (!cst) {
            ++state.summary.skipped_paths;
            m.complete = false;
            continue;
        }
        if (git_mode == GitMode::On) {
            if (child_name == ".git") {
                if (cst->is_directory()) {
                    m.complete = false;
                }
                continue;
            }
            if (cst->is_directory() &&
                (platform::status_at(dirfd, filesystem::path_join(child_name, ".git").c_str(),
                                     platform::FollowFinalLink::yes)
                     .has_value() ||
                 is_git_dir_at(dirfd, child_name))) {
                m.complete = false;
                state.folder_queue.emplace_front(path, 0);
                continue;
            }
        }
        if (git_dir && (child_name == "refs" || child_name == "objects")) {
            m.complete = false;
            continue;
        }
        const bool child_valid = path_valid && platform::is_valid_utf8(child_name);
        if (git_mode == GitMode::On && cst->is_directory()) {
            if (auto cls = classify_artifact_at(dirfd, child_name, path, *cst)) {
                const FolderMeasurement nested_m =
                    measure_entry(state, path, *cst, device, nullptr, links, GitMode::Off, dirfd,
                                  child_name, child_valid, components + 1);
                if (state.nested_finds != nullptr) {
                    const std::size_t listings =
                        state.listing_marks != nullptr ? state.listing_marks->size() : 0;
                    state.nested_finds->push_back({path, cls->kind, cls->tool, nested_m, listings});
                } else {
                    build_artifact_candidate(state, path, cls->kind, cls->tool, nested_m, repo);
                }
                m.allocated_bytes =
                    platform::saturating_add(m.allocated_bytes, nested_m.allocated_bytes);
                m.files = platform::saturating_add(m.files, nested_m.files);
                m.complete = m.complete && nested_m.complete;
                continue;
            }
        }
        if (git_mode == GitMode::Off) {
            if (child_name == ".git") {
                m.complete = false;
                continue;
            }
            if (pycache) {
                const auto ext = extension_of(child_name);
                if (!ext || is_not_bytecode_ext(*ext)) {
                    m.complete = false;
                }
            }
        }
        const FolderMeasurement sub =
            measure_entry(state, path, *cst, device, repo, links, git_mode, dirfd, child_name,
                          child_valid, components + 1);
        m.allocated_bytes = platform::saturating_add(m.allocated_bytes, sub.allocated_bytes);
        m.files = platform::saturating_add(m.files, sub.files);
        keep_newest(m.last_modified, sub.last_modified);
        keep_newest(m.last_access, sub.last_access);
        m.complete = m.complete && sub.complete;
    }
    path.resize(base);
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
    return measure_entry(state, buffer, status, device, repo, links, git_mode, -1, own_name,
                         platform::is_valid_utf8(path), filesystem::path_components(path).size());
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
