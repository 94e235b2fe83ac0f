#pragma once
// A real folder tree with a home and a data folder of its own (as root, /root is
// protected, and no test may reach the real Trash), a policy context for it, and helpers
// to run plans and read the events they sent. Trash requests are served by the real
// Trash host unless a test names another.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "core/cleanup/event.hpp"
#include "core/cleanup/orchestrator.hpp"
#include "core/cleanup/plan.hpp"
#include "core/host_trash/host_link.hpp"
#include "core/host_trash/host_side.hpp"
#include "core/host_trash/trash_registry.hpp"
#include "platform/signals.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cleanup {

class CleanupTest : public ::testing::Test {
  protected:
    CleanupTest()
        : home_(tmp_.make_dir("home")),
          env_("HOME", home_.c_str()),
          data_env_("XDG_DATA_HOME", (tmp_ / "data").c_str()),
          trash_(tmp_ / "data/Trash") {
        context_.home = home_;
        context_.protected_paths = {home_ + "/Library/Application Support/BramVelt"};
        root_ = tmp_.make_dir("work");
        host_.program = BRAMVELT_TRASH_HOST;
    }

    static void SetUpTestSuite() { platform::ignore_sigpipe(); }

    // What a front end's sink does with a Trash request, with this test's host.
    void serve(const CleanupEvent& event) const {
        if (const auto* request = std::get_if<NativeTrashRequest>(&event)) {
            host_trash::serve_native_trash_request(*registry_, request->item_id, request->token,
                                                   host_);
        }
    }

    std::string at(std::string_view relative) const { return root_ + "/" + std::string(relative); }

    CleanupPlan plan_of(const std::vector<std::string>& relative,
                        CleanupAction action = CleanupAction::remove()) const {
        CleanupPlan plan;
        plan.context = context_;
        plan.scan_root = root_;
        plan.action = std::move(action);
        for (std::size_t i = 0; i < relative.size(); ++i) {
            plan.items.push_back({std::nullopt, "item-" + std::to_string(i), at(relative[i])});
        }
        return plan;
    }

    // The events of one plan; `during` sees each event as it arrives.
    template <class During>
    std::vector<CleanupEvent> run(const CleanupPlan& plan, During during,
                                  const CancelFlag& cancel = make_cancel_flag()) const {
        std::vector<CleanupEvent> events;
        auto [link, senders] = host_trash::open_host_link(registry_);
        execute_cleanup_plan(plan, cancel, link, [&](CleanupEvent event) {
            during(event);
            serve(event);
            events.push_back(std::move(event));
        });
        return events;
    }
    std::vector<CleanupEvent> run(const CleanupPlan& plan,
                                  const CancelFlag& cancel = make_cancel_flag()) const {
        return run(
            plan, [](const CleanupEvent&) {}, cancel);
    }

    testing::TempDir tmp_;
    std::string home_;
    testing::ScopedEnv env_;
    testing::ScopedEnv data_env_;
    std::string trash_;  // the home trash: files/ and info/
    policy::PolicyContext context_;
    std::string root_;
    std::shared_ptr<host_trash::TrashRegistry> registry_ =
        std::make_shared<host_trash::TrashRegistry>();
    host_trash::TrashHostSettings host_;
};

template <class T>
std::vector<T> events_of(const std::vector<CleanupEvent>& events) {
    std::vector<T> found;
    for (const CleanupEvent& event : events) {
        if (const T* e = std::get_if<T>(&event)) found.push_back(*e);
    }
    return found;
}

// The one ItemFinished result of a one-item plan (a default result when there is none).
inline CleanupItemResult only_result(const std::vector<CleanupEvent>& events) {
    const auto finished = events_of<ItemFinished>(events);
    EXPECT_EQ(finished.size(), 1u);
    return finished.empty() ? CleanupItemResult{} : finished.front().result;
}

inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool exists_nofollow(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

inline ino_t inode_of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// What the review counts for an entry and everything below it: the space each takes on
// disk, a file with several links once (as `du` counts).
inline std::uint64_t disk_bytes(const std::string& path) {
    namespace fs = std::filesystem;
    std::set<std::pair<dev_t, ino_t>> seen;
    const auto count = [&](const std::string& entry) -> std::uint64_t {
        struct stat st {};
        if (::lstat(entry.c_str(), &st) != 0) return 0;
        if (S_ISREG(st.st_mode) && st.st_nlink > 1 && !seen.insert({st.st_dev, st.st_ino}).second)
            return 0;
        return static_cast<std::uint64_t>(st.st_blocks) * 512;
    };
    std::uint64_t total = count(path);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        total += count(it->path().string());
    }
    return total;
}

// Every path below `folder` with its content ("<dir>" for folders, "-> target" for
// links), sorted: what a test compares to prove a folder untouched.
inline std::vector<std::string> tree_listing(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<std::string> lines;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string path = it->path().string();
        std::string line = path.substr(folder.size()) + " ";
        if (it->is_symlink()) {
            line += "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            line += "<dir>";
        } else if (!it->is_regular_file()) {
            line += "<special>";
        } else {
            line += read_text(path) + " #" + std::to_string(inode_of(path));
        }
        lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace bramvelt::cleanup
