#pragma once
// Real repositories with linked worktrees made by the system's git, and the worktree
// removal run on them as a development run would run it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup_fixture.hpp"
#include "core/cleanup/worktree_removal.hpp"
#include "tests/core/development/dev_fixture.hpp"

namespace bramvelt::cleanup {

class WorktreeTest : public CleanupTest {
  protected:
    // Git sees neither the machine's nor the user's configuration.
    testing::ScopedEnv nosystem_{"GIT_CONFIG_NOSYSTEM", "1"};
    testing::ScopedEnv global_{"GIT_CONFIG_GLOBAL", "/dev/null"};

    // A repository whose main branch holds a package manifest and ignores its outputs.
    std::string make_repo() {
        const std::string repo = tmp_.make_dir("work/repo");
        testing::git(repo, {"init", "-q"});
        tmp_.write_file("work/repo/README", "hello\n");
        tmp_.write_file("work/repo/package.json", "{}\n");
        tmp_.write_file("work/repo/.gitignore", "node_modules/\ndist/\n");
        testing::git(repo, {"add", "-A"});
        testing::git(repo, {"commit", "-q", "-m", "first"});
        return repo;
    }

    // A linked worktree at work/<name> on its own branch with one commit of its own, that
    // the branch "<name>-merged" also holds; with generated output inside.
    std::string add_worktree(const std::string& repo, const std::string& name) {
        testing::git(repo, {"worktree", "add", "-q", "-b", name, "../" + name});
        const std::string wt = at(name);
        // Its own content, so that no two worktrees share this commit.
        tmp_.write_file("work/" + name + "/feature.txt", name + "\n");
        testing::git(wt, {"add", "feature.txt"});
        testing::git(wt, {"commit", "-q", "-m", "feature"});
        testing::git(repo, {"branch", name + "-merged", name});
        tmp_.write_file("work/" + name + "/dist/app.js", "bundle");
        tmp_.write_file("work/" + name + "/node_modules/pkg/index.js", "module.exports = 1;\n");
        return wt;
    }

    // remove_worktree as the run calls it, with the identity the folder has now;
    // `sink` sees the removal's events.
    std::expected<std::uint64_t, WorktreeRemovalFailure> remove(
        const std::string& worktree, const std::string& repo,
        const CleanupEventSink& sink = [](CleanupEvent) {}, std::uint64_t measured = 1000) const {
        const filesystem::FileIdentity identity =
            filesystem::read_identity(worktree).value_or(filesystem::FileIdentity{});
        auto [link, senders] = host_trash::open_host_link(registry_);
        CleanupProgress base;
        base.stage = std::string(kStageRemovingWorktree);
        base.item_id = "item-0";
        const WorktreeTarget target{worktree, repo, "item-0", identity, measured};
        const CancelFlag cancel = make_cancel_flag();
        return remove_worktree(
            target, {context_, policy::Acknowledgement::Missing, cancel, link, base, sink});
    }

    std::string listed_worktrees(const std::string& repo) const {
        return testing::git(repo, {"worktree", "list", "--porcelain"});
    }
};

}  // namespace bramvelt::cleanup
