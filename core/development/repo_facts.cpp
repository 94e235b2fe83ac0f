#include "core/development/repo_facts.hpp"

#include <algorithm>
#include <chrono>
#include <map>

#include "core/development/entry_facts.hpp"
#include "core/development/git_prefetch.hpp"
#include "core/development/git_queries.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/inspection_prefetch.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

constexpr std::string_view kPromisorOffValues[] = {"", "0", "no", "off", "false"};

bool partial_clone_from_config(std::string_view output) {
    for (const auto& line : platform::split_lines(output)) {
        const std::size_t space = line.find(' ');
        const std::string_view key = std::string_view(line).substr(0, space);
        const std::string_view value = space == std::string::npos
                                           ? std::string_view()
                                           : std::string_view(line).substr(space + 1);
        if (key.size() > 12 && key.ends_with(".partialclone")) {
            return true;
        }
        // Unicode white space, not only ASCII blanks, counts around the value.
        const std::string_view v = platform::trim_white_space(value);
        if (std::find(std::begin(kPromisorOffValues), std::end(kPromisorOffValues), v) ==
            std::end(kPromisorOffValues)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<std::uint64_t> git_file_mtime(std::string_view dir, std::string_view name) {
    const auto st =
        platform::status_of_path(filesystem::path_join(dir, name), FollowFinalLink::yes);
    return st ? epoch_seconds(modification_time(*st)) : std::nullopt;
}

std::optional<std::pair<std::string, std::string>> parse_ls_remote_line(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || line.find('\t', tab + 1) != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view oid = line.substr(0, tab);
    std::string_view ref = line.substr(tab + 1);
    if (oid.empty() || !ref.starts_with("refs/heads/")) {
        return std::nullopt;
    }
    ref.remove_prefix(11);
    return std::make_pair(std::string(ref), std::string(oid));
}

namespace {

// The live branch heads of each remote, remote by remote while the budget lasts. A remote
// that cannot be asked leaves a warning and no entry.
std::map<std::string, std::vector<std::pair<std::string, std::string>>> verify_remote_heads(
    DevScanState& state, const std::string& folder, const std::vector<std::string>& remotes) {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> heads_by_remote;
    for (const auto& remote : remotes) {
        if (state.budget_spent()) {
            break;
        }
        const std::vector<std::string> args{"ls-remote", "--heads", "--upload-pack=git-upload-pack",
                                            "--", remote};
        auto out = run_git_budgeted(state, folder, args, GitQuery::Remote);
        if (!out) {
            add_scan_warning(state, kWarningRemoteUnverified);
            continue;
        }
        std::vector<std::pair<std::string, std::string>> heads;
        for (const auto& line : platform::split_lines(*out)) {
            if (auto pair = parse_ls_remote_line(line)) {
                heads.push_back(std::move(*pair));
            }
        }
        heads_by_remote[remote] = std::move(heads);
    }
    return heads_by_remote;
}

// The other worktrees that lie inside the roots go to the front of the folder queue, so
// that each is searched as a folder of its own; the last listed is taken first.
void queue_listed_worktrees(DevScanState& state, const std::string& folder,
                            const std::vector<WorktreeEntry>& list) {
    for (const WorktreeEntry& entry : list) {
        if (entry.path == folder || filesystem::paths_equal(entry.path, folder)) {
            continue;
        }
        if (auto admitted = path_in_roots(state.roots, entry.path)) {
            state.folder_queue.emplace_front(std::move(*admitted), 0);
        }
    }
}

}  // namespace

const RepoFacts& load_repo_facts(DevScanState& state, const std::string& folder,
                                 const std::string& common_dir) {
    if (auto it = state.repo_facts.find(common_dir); it != state.repo_facts.end()) {
        return it->second;
    }
    RepoFacts facts;
    if (state.prefetch != nullptr) {
        ask_repository_facts(*state.prefetch, folder, common_dir,
                             state.worktree_lists.contains(common_dir) ? WorktreeListKnown::Yes
                                                                       : WorktreeListKnown::No);
    }
    if (auto it = state.worktree_lists.find(common_dir); it != state.worktree_lists.end()) {
        facts.worktree_list = it->second;
    } else if (auto list = query_worktree_list(state, folder)) {
        facts.worktree_list = std::move(*list);
    }

    if (auto out = run_git_budgeted(state, folder, git_query::remotes(), GitQuery::Local)) {
        facts.remotes = platform::split_lines(*out);
    }

    if (auto out =
            run_git_budgeted(state, folder, git_query::partial_clone_settings(), GitQuery::Local)) {
        facts.partial_history = partial_clone_from_config(*out);
    }

    if (state.request.verify_remotes) {
        facts.remote_heads = verify_remote_heads(state, folder, facts.remotes);
    }
    queue_listed_worktrees(state, folder, facts.worktree_list);

    facts.last_fetch = git_file_mtime(common_dir, "FETCH_HEAD");
    if (!facts.remote_heads.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
        facts.remote_checked_at = secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
    }
    return state.repo_facts.emplace(common_dir, std::move(facts)).first->second;
}

}  // namespace bramvelt::development
