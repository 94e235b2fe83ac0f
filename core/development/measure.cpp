#include "core/development/measure.hpp"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "platform/dir_stream.hpp"
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
    const auto children = list_children_by_priority(state, path);
    if (!children) {
        m.complete = false;
        return m;
    }
    const bool git_dir = is_git_dir(path);
    if (git_dir) {
        m.complete = false;
    }
    const bool pycache = final_name(path) == std::optional<std::string_view>("__pycache__");
    for (const auto& child : *children) {
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
    platform::Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        ++state.summary.skipped_paths;
        return std::nullopt;
    }
    auto stream = platform::DirStream::from_fd(std::move(fd));
    if (!stream) {
        ++state.summary.skipped_paths;
        return std::nullopt;
    }
    ++state.summary.directories_listed;
    // Every child shares the folder's prefix, so comparing names compares paths.
    struct Child {
        unsigned rank;
        std::size_t name_offset;
        std::string path;
    };
    std::vector<Child> children;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(stream->get());
        const bool failed = entry == nullptr && errno != 0;
        if (entry == nullptr && !failed) {
            break;
        }
        if (entry != nullptr &&
            (std::string_view(entry->d_name) == "." || std::string_view(entry->d_name) == "..")) {
            continue;
        }
        if (state.budget_spent()) {
            break;
        }
        ++state.summary.entries_examined;
        if (failed) {
            // The stream cannot be trusted after a failed read.
            ++state.summary.skipped_paths;
            break;
        }
        std::string path = join_path(folder, entry->d_name);
        const std::size_t offset = path.size() - std::strlen(entry->d_name);
        const unsigned rank = folder_name_rank(path);
        children.push_back(Child{rank, offset, std::move(path)});
    }
    std::sort(children.begin(), children.end(), [](const Child& a, const Child& b) {
        if (a.rank != b.rank) {
            return a.rank < b.rank;
        }
        return std::string_view(a.path).substr(a.name_offset) <
               std::string_view(b.path).substr(b.name_offset);
    });
    std::vector<std::string> paths;
    paths.reserve(children.size());
    for (auto& c : children) {
        paths.push_back(std::move(c.path));
    }
    emit_progress(state);
    return paths;
}

}  // namespace bramvelt::development
