#include "core/development/git_inspect.hpp"

#include <algorithm>

#include "core/development/artifact_candidate.hpp"
#include "core/development/filter_drivers.hpp"
#include "core/development/git_queries.hpp"
#include "core/development/git_recommendation.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/measure.hpp"
#include "core/development/measure_ahead.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/development/tracked_files.hpp"
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

std::optional<std::string> query_line(DevScanState& state, const std::string& folder,
                                      const std::vector<std::string>& args) {
    auto out = run_git_budgeted(state, folder, args, GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_single_line(std::move(*out));
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

// One ref that contains HEAD: a local branch other than the checkout's own, or a
// remote-tracking ref, verified when a live query saw the same branch at the same object.
void add_containing_ref(const RepoFacts* facts, const std::string& ref, const std::string& oid,
                        GitDetail& detail) {
    if (ref.size() >= 11 && ref.starts_with("refs/heads/")) {
        std::string name = ref.substr(11);
        if (!(detail.branch && *detail.branch == name)) {
            push_capped(detail.merged_into, std::move(name));
        }
        return;
    }
    if (ref.size() < 13 || !ref.starts_with("refs/remotes/")) {
        return;
    }
    const std::string rest = ref.substr(13);
    push_capped(detail.cached_remote_refs, rest);
    if (facts == nullptr) {
        return;
    }
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

}  // namespace

GitStatusCounts parse_git_status(std::string_view output) {
    GitStatusCounts counts;
    const std::vector<std::string_view> pieces = platform::zero_separated_records(output);
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

void parse_containing_refs(DevScanState& state, const std::string& folder, const RepoFacts* facts,
                           GitDetail& detail) {
    const std::vector<std::string> args = git_query::refs_containing(*detail.head);
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
            // A symbolic ref (such as origin/HEAD) only repeats another ref.
            if (fields.size() < 3 || !fields[2].empty()) {
                continue;
            }
            add_containing_ref(facts, platform::to_utf8_lossy(fields[0]),
                               platform::to_utf8_lossy(fields[1]), detail);
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

namespace {

// What the inspection knows before it looks at the working tree: the repository's facts,
// the checkout's place in the repository and the evidence of its Git files.
struct CheckoutFacts {
    std::optional<std::string> common_dir;
    const RepoFacts* repo = nullptr;  // none when the common directory is unknown
    CheckoutRole role = CheckoutRole::Primary;
    GitDetail detail;
};

// The working tree as Git reports it. Both stay empty for a partial clone, whose history
// is not asked about.
struct WorkingTree {
    std::optional<std::vector<std::string>> tracked;  // absent when the listing failed
    std::vector<std::string> hidden_from_status;      // tracked, raw bytes
    std::vector<std::string> ignored;                 // relative to the checkout
    // A measurement made ahead counts only after the status it followed: the status may
    // read files, which changes their access times.
    GitAnswerSource status = GitAnswerSource::None;
};

// Branch, lock and repository path from the checkout's entry in the worktree list, matched
// by path or by identity; linked when an entry other than the main worktree matches.
CheckoutRole place_in_worktree_list(const RepoFacts* repo, const std::string& folder,
                                    GitDetail& detail) {
    detail.repository = platform::to_utf8_lossy(folder);
    std::optional<std::pair<std::uint64_t, std::uint64_t>> identity;
    if (const auto st = platform::status_of_path(folder, FollowFinalLink::yes);
        st && st->is_directory()) {
        identity = std::make_pair(st->device, st->inode);
    }
    if (repo == nullptr || repo->worktree_list.empty()) {
        return CheckoutRole::Primary;
    }
    const auto& list = repo->worktree_list;
    detail.repository = list.front().path;
    const auto match = std::find_if(list.begin(), list.end(), [&](const WorktreeEntry& e) {
        return same_folder(e, folder, identity);
    });
    if (match == list.end()) {
        return CheckoutRole::Primary;
    }
    detail.branch = match->branch;
    detail.locked = match->locked;
    return match != list.begin() ? CheckoutRole::LinkedWorktree : CheckoutRole::Primary;
}

// Evidence read from the Git directories' own files: shallow history, an operation in
// progress and the last activity.
void read_git_files(const std::optional<std::string>& common_dir,
                    const std::optional<std::string>& git_dir, GitDetail& detail) {
    detail.shallow =
        !common_dir || platform::status_of_path(filesystem::path_join(*common_dir, "shallow"),
                                                FollowFinalLink::yes)
                           .has_value();
    if (!git_dir) {
        return;
    }
    for (const auto marker : kGitOperationMarkers) {
        if (platform::status_of_path(filesystem::path_join(*git_dir, marker),
                                     FollowFinalLink::yes)) {
            detail.operation_in_progress = true;
            break;
        }
    }
    // Only these files date activity: the Git directory's own time also moves when Git
    // merely creates or removes a lock or temporary file in it.
    for (const auto name : kGitActivityFiles) {
        const auto t = git_file_mtime(*git_dir, name);
        if (t && (!detail.last_git_activity || *t > *detail.last_git_activity)) {
            detail.last_git_activity = t;
        }
    }
}

CheckoutFacts gather_checkout_facts(DevScanState& state, const std::string& folder) {
    CheckoutFacts facts;
    facts.common_dir = query_common_dir(state, folder);
    const auto& common_dir = facts.common_dir;
    const auto git_dir = query_line(state, folder, git_query::git_dir());
    if (common_dir) {
        facts.repo = &load_repo_facts(state, folder, *common_dir);
    }
    facts.role = place_in_worktree_list(facts.repo, folder, facts.detail);
    if (facts.repo != nullptr) {
        facts.detail.remote_checked_at = facts.repo->remote_checked_at;
        facts.detail.last_fetch = facts.repo->last_fetch;
        facts.detail.partial_history = facts.repo->partial_history;
    }
    facts.detail.head = query_line(state, folder, git_query::head());
    read_git_files(common_dir, git_dir, facts.detail);
    return facts;
}

// The filter drivers of the checkout's repository, which the status must empty: read
// from its configuration files, or asked of Git when those cannot tell (an include, an
// unknown common directory). Nothing when Git cannot say either.
std::optional<FilterDrivers> find_filter_drivers(DevScanState& state, const std::string& folder,
                                                 const std::optional<std::string>& common_dir) {
    if (common_dir) {
        if (auto drivers = read_filter_drivers(*common_dir)) {
            return drivers;
        }
    }
    auto out = run_git_budgeted(state, folder, filter_listing_args(), GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_filter_listing(*out);
}

// Counts what the status did not show: a tracked file whose index entry tells Git to look
// past it (skip-worktree, assume-unchanged), present in the checkout. Only a status that
// was established can be added to.
void add_hidden_edits(const std::string& folder, const WorkingTree& tree, GitDetail& detail) {
    if (detail.dirty == DirtyState::NotEstablished) {
        return;
    }
    const std::uint64_t edits = count_hidden_edits(folder, tree.hidden_from_status);
    if (edits != 0) {
        detail.modified = platform::saturating_add(detail.modified, edits);
        detail.dirty = DirtyState::Yes;
    }
}

// The status counts and ignored paths, then the tracked files with the index's flags: read
// after the status they complete, so that a flag set while it ran, which hides an edit
// from it, is seen. A failed query leaves its part unknown: a dirty state that is not
// established, or no tracked list. The status leaves submodule contents out, since a
// submodule's own configuration may name filters.
WorkingTree read_checkout_status(DevScanState& state, const std::string& folder,
                                 const std::optional<std::string>& common_dir, GitDetail& detail) {
    WorkingTree tree;
    if (detail.partial_history) {
        return tree;
    }
    if (const auto drivers = find_filter_drivers(state, folder, common_dir)) {
        if (auto out = run_git_budgeted(state, folder, git_query::status(), GitQuery::Local,
                                        &*drivers, &tree.status)) {
            GitStatusCounts counts = parse_git_status(*out);
            detail.staged = counts.staged;
            detail.modified = counts.modified;
            detail.untracked = counts.untracked;
            detail.dirty = counts.dirty;
            tree.ignored = std::move(counts.ignored);
        }
    }
    if (auto listed = run_ls_files(state, folder)) {
        tree.tracked = std::move(listed->paths);
        tree.hidden_from_status = std::move(listed->hidden_from_status);
    }
    add_hidden_edits(folder, tree, detail);
    return tree;
}

// The refs that contain HEAD and the time of its commit.
void read_checkout_refs(DevScanState& state, const std::string& folder, const RepoFacts* repo,
                        GitDetail& detail) {
    if (!detail.head || detail.partial_history) {
        return;
    }
    parse_containing_refs(state, folder, repo, detail);
    if (auto t = query_line(state, folder, git_query::commit_time())) {
        detail.last_commit = parse_commit_time(*t);
    }
}

// Among the `count` checkouts the measurement just queued, one at a tracked path: a
// populated submodule, whose changes the status did not look at. Any of them counts when
// the tracked list is unknown.
bool queued_submodule(const DevScanState& state, std::size_t count, const RepoContext& repo) {
    for (std::size_t i = 0; i < count && i < state.folder_queue.size(); ++i) {
        if (!repo.tracked) {
            return true;
        }
        const std::string rel = relative_path(state.folder_queue[i].first, repo.root);
        if (std::find(repo.tracked->begin(), repo.tracked->end(), rel) != repo.tracked->end()) {
            return true;
        }
    }
    return false;
}

// Measures the checkout in Git mode, which also reports the artifacts inside it, then
// counts the ignored paths that no regenerable artifact among them covers.
FolderMeasurement measure_checkout(DevScanState& state, const std::string& folder, WorkingTree tree,
                                   GitDetail& detail) {
    const std::size_t kept_before = state.kept_candidates.size();
    FolderMeasurement measurement;
    if (const auto own = platform::status_of_path(folder, FollowFinalLink::no)) {
        const auto followed = platform::status_of_path(folder, FollowFinalLink::yes);
        const std::uint64_t device = followed ? followed->device : 0;
        HardLinkSet links;
        RepoContext repo{folder, std::move(tree.tracked)};
        // Every checkout met inside this one goes to the front of the queue.
        const std::size_t queued_before = state.folder_queue.size();
        std::optional<MeasuredFolder> ahead;
        if (state.measure_ahead != nullptr && tree.status == GitAnswerSource::AskedAhead) {
            ahead = state.measure_ahead->take(folder, device);
        }
        if (ahead && replay_measurement(state, *ahead, *own, &repo)) {
            measurement = ahead->measurement;
        } else {
            measurement = measure_folder(state, folder, *own, device, &repo, links, GitMode::On);
        }
        if (queued_submodule(state, state.folder_queue.size() - queued_before, repo)) {
            detail.dirty = DirtyState::NotEstablished;
        }
    } else {
        ++state.summary.skipped_paths;
    }

    for (const auto& rel : tree.ignored) {
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
    return measurement;
}

}  // namespace

void inspect_git_checkout(DevScanState& state, const std::string& folder) {
    CheckoutFacts facts = gather_checkout_facts(state, folder);
    WorkingTree tree = read_checkout_status(state, folder, facts.common_dir, facts.detail);
    read_checkout_refs(state, folder, facts.repo, facts.detail);
    const TrackedList tracked = tree.tracked ? TrackedList::Known : TrackedList::Unknown;
    const FolderMeasurement measurement =
        measure_checkout(state, folder, std::move(tree), facts.detail);
    emit_candidate(state, build_git_candidate(folder, facts.role, tracked, measurement,
                                              std::move(facts.detail)));
}

}  // namespace bramvelt::development
