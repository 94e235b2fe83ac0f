#include "core/development/git_inspect.hpp"

#include <algorithm>
#include <chrono>

#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/entry_facts.hpp"
#include "core/development/git_recommendation.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/measure.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

constexpr std::string_view kGitOperationMarkers[] = {
    "MERGE_HEAD", "CHERRY_PICK_HEAD", "REVERT_HEAD", "rebase-merge", "rebase-apply", "sequencer"};
constexpr std::string_view kGitActivityFiles[] = {"HEAD", "index", "logs/HEAD"};
constexpr std::string_view kPromisorOffValues[] = {"", "0", "no", "off", "false"};

std::optional<std::string> query_line(DevScanState& state, const std::string& folder,
                                      std::vector<std::string> args) {
    auto out = run_git_budgeted(state, folder, args, GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_single_line(std::move(*out));
}

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

std::optional<std::uint64_t> parse_commit_time(const std::string& text) {
    std::string_view s = text;
    if (s.starts_with('+')) s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

void push_capped(std::vector<std::string>& list, std::string value) {
    if (list.size() < kGitRefListLimit) {
        list.push_back(std::move(value));
    }
}

bool same_folder(const WorktreeEntry& entry, const std::string& folder,
                 const std::optional<std::pair<std::uint64_t, std::uint64_t>>& identity) {
    return entry.path == folder || filesystem::paths_equal(entry.path, folder) ||
           (identity && entry.identity && *identity == *entry.identity);
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

GitStatusCounts parse_git_status(std::string_view output) {
    GitStatusCounts counts;
    std::vector<std::string_view> pieces;
    std::size_t pos = 0;
    while (pos < output.size()) {
        const std::size_t end = std::min(output.find('\0', pos), output.size());
        if (end > pos) pieces.push_back(output.substr(pos, end - pos));
        pos = end + 1;
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::string_view record = pieces[i];
        if (record.size() < 4) {
            counts.dirty = DirtyState::NotEstablished;
            return counts;
        }
        const char x = record[0];
        const char y = record[1];
        if (x == '!' && y == '!') {
            counts.ignored.push_back(platform::to_utf8_lossy(record.substr(3)));
            continue;
        }
        if (x == '?' && y == '?') {
            ++counts.untracked;
            continue;
        }
        if (x == ' ') {
            if (y != ' ') ++counts.modified;
        } else {
            ++counts.staged;
            if (y != ' ') ++counts.modified;
        }
        if (x == 'R' || x == 'C' || y == 'R' || y == 'C') {
            ++i;  // the path it was renamed or copied from
        }
    }
    counts.dirty =
        counts.staged + counts.modified + counts.untracked != 0 ? DirtyState::Yes : DirtyState::No;
    return counts;
}

const RepoFacts& load_repo_facts(DevScanState& state, const std::string& folder,
                                 const std::string& common_dir) {
    if (auto it = state.repo_facts.find(common_dir); it != state.repo_facts.end()) {
        return it->second;
    }
    RepoFacts facts;
    if (auto it = state.worktree_lists.find(common_dir); it != state.worktree_lists.end()) {
        facts.worktree_list = it->second;
    } else if (auto list = query_worktree_list(state, folder)) {
        facts.worktree_list = std::move(*list);
    }

    static const std::vector<std::string> kRemoteArgs{"remote"};
    if (auto out = run_git_budgeted(state, folder, kRemoteArgs, GitQuery::Local)) {
        facts.remotes = platform::split_lines(*out);
    }

    static const std::vector<std::string> kConfigArgs{
        "config", "--local", "--get-regexp",
        "^(extensions\\.partialclone|remote\\..*\\.promisor)$"};
    if (auto out = run_git_budgeted(state, folder, kConfigArgs, GitQuery::Local)) {
        facts.partial_history = partial_clone_from_config(*out);
    }

    if (state.request.verify_remotes) {
        for (const auto& remote : facts.remotes) {
            if (state.budget_spent()) {
                break;
            }
            const std::vector<std::string> args{"ls-remote", "--heads",
                                                "--upload-pack=git-upload-pack", "--", remote};
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
            facts.remote_heads[remote] = std::move(heads);
        }
    }

    for (auto it = facts.worktree_list.begin(); it != facts.worktree_list.end(); ++it) {
        if (it->path == folder || filesystem::paths_equal(it->path, folder)) {
            continue;
        }
        if (auto admitted = path_in_roots(state.roots, it->path)) {
            state.folder_queue.emplace_front(std::move(*admitted), 0);
        }
    }

    facts.last_fetch = git_file_mtime(common_dir, "FETCH_HEAD");
    if (!facts.remote_heads.empty()) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
        facts.remote_checked_at = secs < 0 ? 0 : static_cast<std::uint64_t>(secs);
    }
    return state.repo_facts.emplace(common_dir, std::move(facts)).first->second;
}

void parse_containing_refs(DevScanState& state, const std::string& folder, const RepoFacts* facts,
                           GitDetail& detail) {
    const std::vector<std::string> args{
        "for-each-ref", "--contains",
        *detail.head,   "--format=%(refname)%00%(objectname)%00%(symref)",
        "refs/heads",   "refs/remotes"};
    if (auto out = run_git_budgeted(state, folder, args, GitQuery::Local)) {
        std::size_t pos = 0;
        const std::string_view text = *out;
        while (pos <= text.size()) {
            const std::size_t end = std::min(text.find('\n', pos), text.size());
            const std::string_view line = text.substr(pos, end - pos);
            pos = end + 1;
            std::vector<std::string_view> fields;
            std::size_t fpos = 0;
            while (fpos <= line.size()) {
                const std::size_t fend = std::min(line.find('\0', fpos), line.size());
                fields.push_back(line.substr(fpos, fend - fpos));
                fpos = fend + 1;
            }
            if (fields.size() < 3 || !fields[2].empty()) {
                continue;
            }
            const std::string ref = platform::to_utf8_lossy(fields[0]);
            const std::string oid = platform::to_utf8_lossy(fields[1]);
            if (ref.size() >= 11 && ref.starts_with("refs/heads/")) {
                std::string name = ref.substr(11);
                if (!(detail.branch && *detail.branch == name)) {
                    push_capped(detail.merged_into, std::move(name));
                }
            } else if (ref.size() >= 13 && ref.starts_with("refs/remotes/")) {
                const std::string rest = ref.substr(13);
                push_capped(detail.cached_remote_refs, rest);
                if (facts != nullptr) {
                    for (const auto& remote : facts->remotes) {
                        const std::string prefix = remote + "/";
                        const auto heads = facts->remote_heads.find(remote);
                        if (!rest.starts_with(prefix) || heads == facts->remote_heads.end()) {
                            continue;
                        }
                        const std::string branch = rest.substr(prefix.size());
                        for (const auto& [b, id] : heads->second) {
                            if (b == branch && id == oid) {
                                push_capped(detail.verified_remote_refs, rest);
                                break;
                            }
                        }
                    }
                }
            }
        }
    }
    if (facts != nullptr) {
        for (const auto& [remote, heads] : facts->remote_heads) {
            for (const auto& [branch, id] : heads) {
                if (id == *detail.head) {
                    push_capped(detail.verified_remote_refs, remote + "/" + branch);
                }
            }
        }
    }
    auto& verified = detail.verified_remote_refs;
    std::sort(verified.begin(), verified.end());
    verified.erase(std::unique(verified.begin(), verified.end()), verified.end());
}

void inspect_git_checkout(DevScanState& state, const std::string& folder) {
    GitDetail detail;
    const auto common_dir =
        query_line(state, folder, {"rev-parse", "--path-format=absolute", "--git-common-dir"});
    const auto git_dir = query_line(state, folder, {"rev-parse", "--absolute-git-dir"});
    const RepoFacts* facts = common_dir ? &load_repo_facts(state, folder, *common_dir) : nullptr;

    std::optional<std::pair<std::uint64_t, std::uint64_t>> identity;
    if (const auto st = platform::status_of_path(folder, FollowFinalLink::yes);
        st && st->is_directory()) {
        identity = std::make_pair(st->device, st->inode);
    }

    bool linked = false;
    detail.repository = platform::to_utf8_lossy(folder);
    if (facts != nullptr && !facts->worktree_list.empty()) {
        const auto& list = facts->worktree_list;
        const auto match = std::find_if(list.begin(), list.end(), [&](const WorktreeEntry& e) {
            return same_folder(e, folder, identity);
        });
        if (match != list.end()) {
            detail.branch = match->branch;
            detail.locked = match->locked;
            linked = match != list.begin();
        }
        detail.repository = list.front().path;
    }
    if (facts != nullptr) {
        detail.remote_checked_at = facts->remote_checked_at;
        detail.last_fetch = facts->last_fetch;
        detail.partial_history = facts->partial_history;
    }

    detail.head = query_line(state, folder, {"rev-parse", "--verify", "HEAD"});
    detail.shallow =
        !common_dir || platform::status_of_path(filesystem::path_join(*common_dir, "shallow"),
                                                FollowFinalLink::yes)
                           .has_value();

    if (git_dir) {
        for (const auto marker : kGitOperationMarkers) {
            if (platform::status_of_path(filesystem::path_join(*git_dir, marker),
                                         FollowFinalLink::yes)) {
                detail.operation_in_progress = true;
                break;
            }
        }
        // Only these files date activity: the Git directory's own time also moves when
        // Git merely creates or removes a lock or temporary file in it.
        for (const auto name : kGitActivityFiles) {
            const auto t = git_file_mtime(*git_dir, name);
            if (t && (!detail.last_git_activity || *t > *detail.last_git_activity)) {
                detail.last_git_activity = t;
            }
        }
    }

    const bool partial = detail.partial_history;
    std::optional<std::vector<std::string>> tracked;
    if (!partial) {
        if (auto out = run_ls_files(state, folder)) {
            tracked = platform::split_on_zero_bytes(std::move(*out));
        }
    }

    std::vector<std::string> ignored;
    if (!partial) {
        static const std::vector<std::string> kStatusArgs{
            "status", "--porcelain=v1", "-z", "--untracked-files=all", "--ignored=matching"};
        if (auto out = run_git_budgeted(state, folder, kStatusArgs, GitQuery::Local)) {
            GitStatusCounts counts = parse_git_status(*out);
            detail.staged = counts.staged;
            detail.modified = counts.modified;
            detail.untracked = counts.untracked;
            detail.dirty = counts.dirty;
            ignored = std::move(counts.ignored);
        }
    }

    if (detail.head && !partial) {
        parse_containing_refs(state, folder, facts, detail);
        if (auto t = query_line(state, folder, {"show", "-s", "--format=%ct", "HEAD"})) {
            detail.last_commit = parse_commit_time(*t);
        }
    }

    const std::size_t kept_before = state.kept_candidates.size();
    FolderMeasurement measurement;
    if (const auto own = platform::status_of_path(folder, FollowFinalLink::no)) {
        const auto followed = platform::status_of_path(folder, FollowFinalLink::yes);
        const std::uint64_t device = followed ? followed->device : 0;
        HardLinkSet links;
        RepoContext repo{folder, std::move(tracked)};
        measurement = measure_folder(state, folder, *own, device, &repo, links, GitMode::On);
        tracked = std::move(repo.tracked);
    } else {
        ++state.summary.skipped_paths;
    }

    for (const auto& rel : ignored) {
        const std::string full = filesystem::path_join(folder, rel);
        bool covered = false;
        for (std::size_t i = kept_before; i < state.kept_candidates.size() && !covered; ++i) {
            const auto& c = state.kept_candidates[i];
            covered = c.recommendation == Recommendation::Regenerable && path_inside(full, c.path);
        }
        if (!covered) {
            ++detail.ignored_unknown;
        }
    }

    emit_candidate(state, build_git_candidate(
                              folder, linked ? CheckoutRole::LinkedWorktree : CheckoutRole::Primary,
                              tracked ? TrackedList::Known : TrackedList::Unknown, measurement,
                              std::move(detail)));
}

}  // namespace bramvelt::development
