// The frontier pass on real folder trees: what it lists, in which order the jobs stay
// queued, and that listing on several threads gives what one thread gives.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform/writer.hpp"
#include "scan/frontier.hpp"
#include "scan/session.hpp"
#include "scan/tree_json.hpp"
#include "scan/walker.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::scan {
namespace {

using testing::TempDir;

void write_bytes(const std::string& path, std::size_t size) {
    const std::string data(size, 'x');
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

std::string tree_json(const TreeNode& node) {
    platform::StringWriter out;
    write_tree_json(out, node);
    return out.text();
}

// What a pass leaves, in a form two passes can be compared by.
struct Pass {
    std::vector<std::string> top_paths;
    std::map<std::string, std::pair<std::string, std::vector<std::string>>> expanded;
    std::vector<std::string> pending;
    std::vector<std::tuple<std::string, unsigned, std::uint64_t>> queue;  // path, depth, group
    std::int64_t bytes_scanned = 0;
    std::uint64_t hard_link_bytes_saved = 0;
    std::uint64_t directories_scanned = 0;
};

// The driver's steps up to the pass: the root listed, then the pass on `threads`.
Pass run_pass(const std::string& root, unsigned threads, bool cancel_first = false) {
    ScanOptions options;
    options.jobs = threads;
    ScanSession session(options, std::make_unique<platform::NullWriter>(), make_cancel_flag());
    struct stat st {};
    EXPECT_EQ(::stat(root.c_str(), &st), 0);
    session.root_device.store(st.st_dev);
    session.root_device_set.store(true);
    JobQueue queue;
    walk_directory(session, root, TopLevelMode{&queue.jobs, &queue.mutex}, 0);
    if (cancel_first) session.cancel->store(true);
    ScanFrontier frontier = frontier_pass(session, queue, threads);

    Pass pass;
    pass.top_paths = frontier.top_paths;
    for (auto& [path, entry] : frontier.expanded) {
        pass.expanded[path] = {tree_json(entry.node), entry.child_paths};
    }
    for (const auto& [path, progress] : frontier.pending) pass.pending.push_back(path);
    std::ranges::sort(pass.pending);
    for (const auto& job : queue.jobs) pass.queue.emplace_back(job.path, job.depth, job.group);
    pass.bytes_scanned = session.bytes_scanned.load();
    pass.hard_link_bytes_saved = session.hard_link_bytes_saved.load();
    pass.directories_scanned = session.directories_scanned.load();
    return pass;
}

// home (class 0) with users and their folders, opt (class 1) with packages, and 150
// plain folders (class 2): the 128 listings run out among the plain ones.
class FrontierTree : public ::testing::Test {
  protected:
    void SetUp() override {
        root = dir.make_dir("root");
        for (int u = 0; u < 3; ++u) {
            for (int s = 0; s < 3; ++s) {
                const std::string folder =
                    "root/home/u" + std::to_string(u) + "/s" + std::to_string(s) + "/deep";
                dir.make_dir(folder);
                write_bytes(dir.path() + "/" + folder + "/../f", 1000 * (u + s + 1));
            }
        }
        dir.make_dir("root/opt/p0/bin");
        dir.make_dir("root/opt/p1");
        for (int z = 0; z < 150; ++z) {
            const std::string folder = "root/z" + std::to_string(z);
            dir.make_dir(folder + "/inner");
            write_bytes(root + "/z" + std::to_string(z) + "/file", 512 * (z % 7 + 1));
        }
        // Files linked from folders listed in one level: the first in listing order
        // keeps the bytes, although its folder, larger, takes longer to list.
        for (int z = 0; z + 1 < 150; z += 10) {
            for (int f = 0; f < 200; ++f) {
                write_bytes(root + "/z" + std::to_string(z) + "/more" + std::to_string(f), 1);
            }
            const std::string from = root + "/z" + std::to_string(z) + "/file";
            const std::string to = root + "/z" + std::to_string(z + 1) + "/same";
            ASSERT_EQ(::link(from.c_str(), to.c_str()), 0);
        }
        ASSERT_EQ(::link((root + "/home/u0/s0/f").c_str(), (root + "/home/u2/s2/f2").c_str()), 0);
    }

    TempDir dir;
    std::string root;
};

TEST_F(FrontierTree, ListsBySmallestDepthPlusClassUntil128) {
    const Pass pass = run_pass(root, 1);
    ASSERT_EQ(pass.expanded.size(), kFrontierMaxDirectories);
    // Key 1: home. Key 2: the users, then opt. Key 3: the users' folders, then opt's
    // packages, then plain folders in queue order until the count is reached.
    std::vector<std::string> must = {root + "/home", root + "/opt", root + "/opt/p0",
                                     root + "/opt/p1"};
    for (int u = 0; u < 3; ++u) {
        must.push_back(root + "/home/u" + std::to_string(u));
        for (int s = 0; s < 3; ++s) {
            must.push_back(root + "/home/u" + std::to_string(u) + "/s" + std::to_string(s));
        }
    }
    for (const auto& path : must) EXPECT_TRUE(pass.expanded.contains(path)) << path;
    const std::size_t plain = kFrontierMaxDirectories - must.size();
    std::size_t seen = 0;
    for (const auto& top : pass.top_paths) {
        if (!top.starts_with(root + "/z")) continue;
        EXPECT_EQ(pass.expanded.contains(top), seen < plain) << top;
        ++seen;
    }
    // Nothing deeper than 3 was listed; the queue stays in group order.
    EXPECT_FALSE(pass.expanded.contains(root + "/home/u0/s0/deep"));
    EXPECT_TRUE(
        std::ranges::is_sorted(pass.queue, {}, [](const auto& job) { return std::get<2>(job); }));
    std::vector<std::string> queued;
    for (const auto& job : pass.queue) queued.push_back(std::get<0>(job));
    std::ranges::sort(queued);
    EXPECT_EQ(queued, pass.pending);
}

TEST_F(FrontierTree, SeveralThreadsListWhatOneThreadLists) {
    const Pass alone = run_pass(root, 1);
    EXPECT_GT(alone.hard_link_bytes_saved, 0u);
    for (int round = 0; round < 5; ++round) {
        const Pass many = run_pass(root, 8);
        EXPECT_EQ(many.top_paths, alone.top_paths);
        EXPECT_EQ(many.expanded, alone.expanded);
        EXPECT_EQ(many.pending, alone.pending);
        EXPECT_EQ(many.queue, alone.queue);
        EXPECT_EQ(many.bytes_scanned, alone.bytes_scanned);
        EXPECT_EQ(many.hard_link_bytes_saved, alone.hard_link_bytes_saved);
        EXPECT_EQ(many.directories_scanned, alone.directories_scanned);
    }
}

TEST_F(FrontierTree, CancelledBeforeThePassListsNothing) {
    for (const unsigned threads : {1u, 8u}) {
        const Pass pass = run_pass(root, threads, true);
        EXPECT_TRUE(pass.expanded.empty());
        EXPECT_EQ(pass.pending.size(), pass.top_paths.size());
        ASSERT_EQ(pass.queue.size(), pass.top_paths.size());
        for (std::size_t i = 0; i < pass.queue.size(); ++i) {
            EXPECT_EQ(std::get<0>(pass.queue[i]), pass.top_paths[i]);
            EXPECT_EQ(std::get<2>(pass.queue[i]), i);
        }
    }
}

}  // namespace
}  // namespace bramvelt::scan
