#include "core/development/measure.hpp"

#include <fcntl.h>

#include <algorithm>
#include <limits>

#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "platform/listing.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return b > std::numeric_limits<std::uint64_t>::max() - a
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

void keep_newest(std::optional<std::uint64_t>& into, const std::optional<std::uint64_t>& other) {
    if (other && (!into || *other > *into)) {
        into = other;
    }
}

// Rust-like extension: none for "README" or ".hidden", "" for "a.".
std::optional<std::string_view> extension_of(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name == "..") {
        return std::nullopt;
    }
    return name.substr(dot + 1);
}

// A folder's children in priority order, and whether every entry was read: a failed
// read or a spent budget leaves the list short, and a measurement built on a short
// list must not count as complete.
struct ChildListing {
    std::vector<std::string> paths;
    bool whole = true;
};

std::optional<ChildListing> list_children(DevScanState& state, const std::string& folder) {
    // No link is followed anywhere on the way: the folder was checked by its path, and a
    // component swapped for a link since must not lead the listing elsewhere.
    auto fd = platform::open_nofollow_any(folder, O_RDONLY | O_DIRECTORY);
    if (!fd) {
        ++state.summary.skipped_paths;
        return std::nullopt;
    }
    platform::DirEntryReader reader(std::move(*fd));
    ++state.summary.directories_listed;
    // Every child shares the folder's prefix, so comparing names compares paths.
    struct Child {
        unsigned rank;
        std::size_t name_offset;
        std::string path;
    };
    std::vector<Child> children;
    ChildListing listing;
    bool reading = true;
    while (reading) {
        const auto batch = reader.read_batch();
        if (batch && *batch == 0) {
            break;
        }
        const std::size_t count = batch ? *batch : 1;
        for (std::size_t i = 0; i < count; ++i) {
            if (state.budget_spent()) {
                listing.whole = false;
                reading = false;
                break;
            }
            ++state.summary.entries_examined;
            if (!batch) {
                // The stream cannot be trusted after a failed read.
                ++state.summary.skipped_paths;
                listing.whole = false;
                reading = false;
                break;
            }
            const std::string_view name = reader.entries()[i].name;
            std::string path = join_path(folder, name);
            const std::size_t offset = path.size() - name.size();
            const unsigned rank = folder_name_rank(path);
            children.push_back(Child{rank, offset, std::move(path)});
        }
    }
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
        if (a.rank != b.rank) {
            return a.rank < b.rank;
        }
        return std::string_view(a.path).substr(a.name_offset) <
               std::string_view(b.path).substr(b.name_offset);
    });
    listing.paths.reserve(children.size());
    for (auto& c : children) {
        listing.paths.push_back(std::move(c.path));
    }
    emit_progress(state);
    return listing;
}

FolderMeasurement measure_entry(DevScanState& state, const std::string& path, const EntryStatus& st,
                                dev_t device, const RepoContext* repo, HardLinkSet& links,
                                bool git_mode, bool nested) {
    // A nested mount root sharing the device (a bind mount) is another file system too.
    if (nested ? on_other_file_system(path, st, device) : st.device != device) {
        ++state.summary.skipped_paths;
        return {};
    }
    FolderMeasurement m;
    m.allocated_bytes = st.allocated_bytes();
    m.files = st.is_regular() ? 1 : 0;
    m.last_modified = epoch_seconds(st.modified);
    m.last_access = st.is_regular() ? epoch_seconds(st.accessed) : std::nullopt;
    m.complete = platform::is_valid_utf8(path);
    if (st.is_symlink()) {
        return m;
    }
    if (st.is_regular() && st.links > 1) {
        if (!links.insert({st.device, st.inode}).second) {
            m.allocated_bytes = 0;
        }
    }
    if (!st.is_dir()) {
        return m;
    }
    if (path_components(path).size() > MAX_MEASURE_COMPONENTS || state.budget_spent()) {
        m.complete = false;
        return m;
    }
    const auto listing = list_children(state, path);
    if (!listing) {
        m.complete = false;
        return m;
    }
    if (!listing->whole) {
        m.complete = false;
    }
    const auto& children = listing->paths;
    const bool git_dir = is_git_dir(path);
    if (git_dir) {
        m.complete = false;
    }
    const bool pycache = final_name(path) == std::optional<std::string_view>("__pycache__");
    for (const auto& child : children) {
        if (state.budget_spent()) {
            m.complete = false;
            break;
        }
        const auto cst = status_nofollow(child);
        if (!cst) {
            ++state.summary.skipped_paths;
            m.complete = false;
            continue;
        }
        const std::string_view name = final_name(child).value_or("");
        if (git_mode) {
            if (name == ".git") {
                if (cst->is_dir()) {
                    m.complete = false;
                }
                continue;
            }
            if (cst->is_dir() &&
                (status_follow(join_path(child, ".git")).has_value() || is_git_dir(child))) {
                m.complete = false;
                state.folder_queue.emplace_front(child, 0);
                continue;
            }
        }
        if (git_dir && (name == "refs" || name == "objects")) {
            m.complete = false;
            continue;
        }
        if (git_mode && cst->is_dir()) {
            if (auto cls = classify_artifact(child)) {
                const FolderMeasurement nested_m =
                    measure_entry(state, child, *cst, device, nullptr, links, false, true);
                build_artifact_candidate(state, child, cls->kind, cls->tool, nested_m, repo);
                m.allocated_bytes = saturating_add(m.allocated_bytes, nested_m.allocated_bytes);
                m.files = saturating_add(m.files, nested_m.files);
                m.complete = m.complete && nested_m.complete;
                continue;
            }
        }
        if (!git_mode) {
            if (name == ".git") {
                m.complete = false;
                continue;
            }
            if (pycache) {
                const auto ext = extension_of(name);
                if (!ext || is_not_bytecode_ext(*ext)) {
                    m.complete = false;
                }
            }
        }
        const FolderMeasurement sub =
            measure_entry(state, child, *cst, device, repo, links, git_mode, true);
        m.allocated_bytes = saturating_add(m.allocated_bytes, sub.allocated_bytes);
        m.files = saturating_add(m.files, sub.files);
        keep_newest(m.last_modified, sub.last_modified);
        keep_newest(m.last_access, sub.last_access);
        m.complete = m.complete && sub.complete;
    }
    return m;
}

}  // namespace

FolderMeasurement measure_candidate(DevScanState& state, const std::string& path, dev_t device,
                                    const RepoContext* repo, HardLinkSet& links) {
    const auto st = status_nofollow(path);
    if (!st) {
        ++state.summary.skipped_paths;
        return {};
    }
    return measure_entry(state, path, *st, device, repo, links, false, false);
}

FolderMeasurement measure_candidate(DevScanState& state, const std::string& path, dev_t device) {
    HardLinkSet links;
    return measure_candidate(state, path, device, nullptr, links);
}

FolderMeasurement measure_folder(DevScanState& state, const std::string& path,
                                 const EntryStatus& status, dev_t device, const RepoContext* repo,
                                 HardLinkSet& links, bool git_mode) {
    return measure_entry(state, path, status, device, repo, links, git_mode, false);
}

std::optional<std::vector<std::string>> list_children_by_priority(DevScanState& state,
                                                                  const std::string& folder) {
    auto listing = list_children(state, folder);
    if (!listing) {
        return std::nullopt;
    }
    return std::move(listing->paths);
}

}  // namespace bramvelt::development
