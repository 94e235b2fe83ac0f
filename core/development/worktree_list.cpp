#include "core/development/worktree_list.hpp"

#include "core/development/git_queries.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/state.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {

std::optional<std::string> parse_single_line(std::string bytes) {
    if (!platform::is_valid_utf8(bytes)) {
        return std::nullopt;
    }
    while (!bytes.empty() && bytes.back() == '\n') {
        bytes.pop_back();
    }
    if (bytes.empty() || bytes.find('\n') != std::string::npos) {
        return std::nullopt;
    }
    return bytes;
}

std::vector<WorktreeEntry> parse_worktree_list(std::string_view bytes) {
    std::vector<WorktreeEntry> list;
    WorktreeEntry pending;
    std::size_t pos = 0;
    while (pos <= bytes.size()) {
        const std::size_t end = std::min(bytes.find('\0', pos), bytes.size());
        const std::string_view piece = bytes.substr(pos, end - pos);
        pos = end + 1;
        if (piece.empty()) {
            if (pending.path.empty()) {
                continue;
            }
            if (const auto st =
                    platform::status_of_path(pending.path, platform::FollowFinalLink::yes);
                st && st->is_directory()) {
                pending.identity = std::make_pair(st->device, st->inode);
            }
            list.push_back(std::move(pending));
            pending = WorktreeEntry{};
            continue;
        }
        const std::string line = platform::to_utf8_lossy(piece);
        const std::string_view view(line);
        if (view.starts_with("worktree ")) {
            pending.path = std::string(view.substr(9));
        } else if (view.starts_with("branch refs/heads/")) {
            pending.branch = std::string(view.substr(18));
        } else if (view == "locked" || (view.size() > 6 && view.starts_with("locked "))) {
            pending.locked = true;
        }
    }
    return list;
}

std::optional<std::string> query_common_dir(DevScanState& state, const std::string& folder) {
    auto out = run_git_budgeted(state, folder, git_query::common_dir(), GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_single_line(std::move(*out));
}

std::optional<std::vector<WorktreeEntry>> query_worktree_list(DevScanState& state,
                                                              const std::string& folder) {
    auto out = run_git_budgeted(state, folder, git_query::worktree_list(), GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_worktree_list(*out);
}

}  // namespace bramvelt::development
