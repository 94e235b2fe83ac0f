#include "core/development/git_queries.hpp"

#include <string_view>

namespace bramvelt::development::git_query {

const std::vector<std::string>& common_dir() {
    static const std::vector<std::string> kArgs{"rev-parse", "--path-format=absolute",
                                                "--git-common-dir"};
    return kArgs;
}

const std::vector<std::string>& git_dir() {
    static const std::vector<std::string> kArgs{"rev-parse", "--absolute-git-dir"};
    return kArgs;
}

const std::vector<std::string>& worktree_list() {
    static const std::vector<std::string> kArgs{"worktree", "list", "--porcelain", "-z"};
    return kArgs;
}

const std::vector<std::string>& remotes() {
    static const std::vector<std::string> kArgs{"remote"};
    return kArgs;
}

const std::vector<std::string>& partial_clone_settings() {
    static const std::vector<std::string> kArgs{
        "config", "--local", "--get-regexp",
        "^(extensions\\.partialclone|remote\\..*\\.promisor)$"};
    return kArgs;
}

const std::vector<std::string>& head() {
    static const std::vector<std::string> kArgs{"rev-parse", "--verify", "HEAD"};
    return kArgs;
}

const std::vector<std::string>& tracked_files() {
    static const std::vector<std::string> kArgs{"ls-files", "-v", "-z"};
    return kArgs;
}

const std::vector<std::string>& status() {
    static const std::vector<std::string> kArgs{"status",
                                                "--porcelain=v1",
                                                "-z",
                                                "--untracked-files=all",
                                                "--ignored=matching",
                                                "--ignore-submodules=dirty"};
    return kArgs;
}

std::vector<std::string> refs_containing(const std::string& head) {
    static constexpr std::string_view kFormat = "--format=%(refname)%00%(objectname)%00%(symref)";
    return {"for-each-ref", "--contains", head, std::string(kFormat), "refs/heads", "refs/remotes"};
}

const std::vector<std::string>& commit_time() {
    static const std::vector<std::string> kArgs{"show", "-s", "--format=%ct", "HEAD"};
    return kArgs;
}

std::vector<std::string> ignored(const std::string& relative) {
    return {"check-ignore", "--quiet", "--", relative};
}

}  // namespace bramvelt::development::git_query
