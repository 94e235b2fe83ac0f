#include "core/cleanup/worktree_pairing.hpp"

// The open flags of the no-follow opens are this file's subject.
#include <fcntl.h>

#include <optional>
#include <vector>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/directory_names.hpp"
#include "core/cleanup/failure.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/state.hpp"
#include "core/development/worktree_list.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/real_path.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/nofollow_open.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

using platform::FollowFinalLink;

struct Inode {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const Inode&) const = default;
};

std::unexpected<std::string> unconfirmed() {
    return std::unexpected(std::string(kWorktreeRemovalUnconfirmed));
}

// The regular file `name` in the folder `dir_fd`, opened with no link followed, and its
// device and inode; nothing for a link, a folder, a special file or an overlong file.
std::optional<std::pair<std::string, Inode>> read_link_file(int dir_fd, const char* name) {
    auto fd = platform::open_at(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd) return std::nullopt;
    const auto status = platform::status_of_fd(fd->get());
    if (!status || !status->is_regular()) return std::nullopt;
    auto contents = platform::read_all(fd->get(), kGitLinkFileLimit + 1);
    if (!contents || contents->size() > kGitLinkFileLimit) return std::nullopt;
    return std::make_pair(std::move(*contents), Inode{status->device, status->inode});
}

// The entry a link file names, not following a final link: an absolute path as written,
// a relative one from the folder `dir_fd` that holds the file.
std::optional<Inode> named_entry(int dir_fd, const std::string& target) {
    const auto status = target.front() == '/'
                            ? platform::status_of_path(target, FollowFinalLink::no)
                            : platform::status_at(dir_fd, target.c_str(), FollowFinalLink::no);
    if (!status) return std::nullopt;
    return Inode{status->device, status->inode};
}

std::optional<Inode> inode_of(int fd) {
    const auto status = platform::status_of_fd(fd);
    if (!status || !status->is_directory()) return std::nullopt;
    return Inode{status->device, status->inode};
}

std::optional<std::string> common_dir_of(std::string_view repository, const CancelFlag& cancel) {
    static const std::vector<std::string> kCommonDir{"rev-parse", "--path-format=absolute",
                                                     "--git-common-dir"};
    auto out =
        development::run_git(repository, kCommonDir, cancel, development::kGitTimeoutSeconds);
    if (!out) return std::nullopt;
    auto line = development::parse_single_line(std::move(*out));
    if (!line) return std::nullopt;
    auto real = filesystem::real_path(*line);
    if (!real) return std::nullopt;
    return std::move(*real);
}

}  // namespace

std::optional<std::string> git_link_target(std::string_view contents, bool gitdir_prefix) {
    constexpr std::string_view kPrefix = "gitdir: ";
    if (gitdir_prefix) {
        if (!contents.starts_with(kPrefix)) return std::nullopt;
        contents.remove_prefix(kPrefix.size());
    }
    while (!contents.empty() && (contents.back() == '\n' || contents.back() == '\r')) {
        contents.remove_suffix(1);
    }
    if (contents.empty() ||
        contents.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(contents);
}

std::expected<WorktreeAdmin, std::string> pair_worktree_admin(std::string_view worktree,
                                                              std::string_view repository,
                                                              const policy::PolicyContext& context,
                                                              policy::Acknowledgement acknowledged,
                                                              const CancelFlag& cancel) {
    auto common = common_dir_of(repository, cancel);
    if (!common || !platform::is_valid_utf8(*common)) return unconfirmed();
    auto common_fd = platform::open_nofollow_any(*common, O_RDONLY | O_DIRECTORY);
    if (!common_fd) return unconfirmed();
    auto worktrees_fd =
        platform::open_directory_at(common_fd->get(), "worktrees", FollowFinalLink::no);
    if (!worktrees_fd) return unconfirmed();

    // The worktree's end: its `.git`, a regular file whose line names a folder.
    auto worktree_fd = platform::open_nofollow_any(worktree, O_RDONLY | O_DIRECTORY);
    if (!worktree_fd) return unconfirmed();
    const auto dot_git = read_link_file(worktree_fd->get(), ".git");
    if (!dot_git) return unconfirmed();
    const auto points_to = git_link_target(dot_git->first, true);
    if (!points_to) return unconfirmed();
    const auto pointed = named_entry(worktree_fd->get(), *points_to);
    if (!pointed) return unconfirmed();

    // Git's end: exactly one administrative folder names that `.git`.
    auto names = list_directory(worktrees_fd->get());
    if (!names) return unconfirmed();
    std::optional<WorktreeAdmin> found;
    for (std::size_t i = 0; i < names->size(); ++i) {
        const char* name = names->c_str(i);
        auto admin_fd = platform::open_directory_at(worktrees_fd->get(), name, FollowFinalLink::no);
        if (!admin_fd) continue;
        const auto gitdir = read_link_file(admin_fd->get(), "gitdir");
        if (!gitdir) continue;
        const auto target = git_link_target(gitdir->first, false);
        if (!target || named_entry(admin_fd->get(), *target) != dot_git->second) continue;
        if (found) return unconfirmed();
        found.emplace();
        found->name = name;
        found->admin_fd = std::move(*admin_fd);
    }
    if (!found || inode_of(found->admin_fd.get()) != pointed) return unconfirmed();

    auto identity = filesystem::identity_of_fd(found->admin_fd.get());
    if (!identity) return unconfirmed();
    found->identity = std::move(*identity);
    found->path = filesystem::path_join(filesystem::path_join(*common, "worktrees"), found->name);
    if (!platform::is_valid_utf8(found->path)) return unconfirmed();
    // Decided like any removal target, while the worktree is still whole.
    auto decision = policy::require_acknowledgement(context, found->path, acknowledged);
    if (!decision) return std::unexpected(std::move(decision.error()));
    if (!decision->identity || decision->identity->device != found->identity.device ||
        decision->identity->inode != found->identity.inode ||
        decision->identity->kind != found->identity.kind) {
        return unconfirmed();
    }
    found->common_dir = std::move(*common);
    found->common_fd = std::move(*common_fd);
    found->worktrees_fd = std::move(*worktrees_fd);
    return std::move(*found);
}

}  // namespace bramvelt::cleanup
