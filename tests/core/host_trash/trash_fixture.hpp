#pragma once
// Shared pieces of the native Trash tests: a home and a data folder of the test's own
// (so no test ever reaches the real Trash), authorizations for real items, a tree check
// built the way the cleanup step builds its own, and small fake host programs.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "core/filesystem/parent_handle.hpp"
#include "core/host_trash/trash_adapter.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "platform/signals.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::host_trash::testing {

namespace fs = std::filesystem;

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every entry of an item's tree by path, with what a snapshot compares.
using TreeRecord = std::map<std::string, std::string>;

inline TreeRecord record_tree(const std::string& root) {
    TreeRecord record;
    const auto add = [&](const fs::path& path) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) return;
        record[path.string()] = std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
                                std::to_string(st.st_mtim.tv_sec) + "." +
                                std::to_string(st.st_mtim.tv_nsec);
    };
    add(root);
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(root))) {
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            add(it->path());
        }
    }
    return record;
}

// The tree as authorized, shared rather than copied; each check records the tree afresh.
inline TreeRecheck tree_recheck_of(const std::string& root) {
    auto authorized = std::make_shared<const TreeRecord>(record_tree(root));
    return [authorized](std::string_view path, const CancelFlag&,
                        policy::Acknowledgement) -> std::expected<void, TreeRecheckFailure> {
        if (record_tree(std::string(path)) != *authorized)
            return std::unexpected(TreeRecheckFailure{});
        return {};
    };
}

struct TrashTest : ::testing::Test {
    bramvelt::testing::TempDir tmp;
    std::string home = tmp.make_dir("home");
    bramvelt::testing::ScopedEnv home_env{"HOME", home.c_str()};
    bramvelt::testing::ScopedEnv data_env{"XDG_DATA_HOME", (tmp / "data").c_str()};
    std::string trash = tmp / "data/Trash";
    CancelFlag cancel = make_cancel_flag();

    static void SetUpTestSuite() { platform::ignore_sigpipe(); }

    policy::PolicyContext context() const {
        policy::PolicyContext c;
        c.home = home;
        return c;
    }

    // An authorization for the item at `path` as it is now, issued at `issued_at`.
    std::shared_ptr<TrashAuthorization> authorize(const std::string& path,
                                                  Clock::time_point issued_at = Clock::now()) {
        auto parent = filesystem::open_parent_dir(path).value();
        const auto identity = filesystem::identity_at(parent.parent_fd(), parent.name()).value();
        return std::make_shared<TrashAuthorization>(TrashAuthorizationFields{
            .context = context(),
            .parent = std::move(parent),
            .identity = identity,
            .item_id = "item-0",
            .path = path,
            .token = new_trash_token().value(),
            .issued_at = issued_at,
            .tree_recheck = tree_recheck_of(path),
            .cancel = cancel,
            .acknowledged = policy::Acknowledgement::Missing,
        });
    }

    // A reserved authorization, ready to execute.
    std::shared_ptr<TrashAuthorization> reserved(const std::string& path) {
        auto authorization = authorize(path);
        authorization->change_state(TrashState::Issued, TrashState::Reserved);
        return authorization;
    }

    // A host program of this test's own: a shell script with `body`.
    std::string fake_host(const std::string& name, const std::string& body) const {
        const std::string path = tmp.write_file("hosts/" + name, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }

    TrashHostSettings host(std::string program) const {
        TrashHostSettings settings;
        settings.program = std::move(program);
        return settings;
    }

    static TrashHostSettings real_host() {
        TrashHostSettings settings;
        settings.program = BRAMVELT_TRASH_HOST;
        return settings;
    }
};

}  // namespace bramvelt::host_trash::testing
