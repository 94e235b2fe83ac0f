#include "scan/retention.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

TreeNode file(std::string path, std::int64_t size, NodeState state = NodeState::Normal) {
    TreeNode node;
    node.path = std::move(path);
    node.kind = NodeKind::File;
    node.size = size;
    node.file_count = 1;
    node.state = state;
    return node;
}

struct Input {
    std::string name;
    std::int64_t size;
    NodeState state = NodeState::Normal;
};

// Runs one directory through retention as the walker does: every file, then the finish.
NodeList retain(const ChildRetention& setting, const std::vector<Input>& files,
                std::shared_ptr<ScanCatalog> catalog = nullptr) {
    ChildRetainer retainer(setting, "/d", std::move(catalog));
    NodeList children;
    for (const auto& f : files) {
        retain_or_spill_child(retainer, file("/d/" + f.name, f.size, f.state), std::nullopt,
                              children);
    }
    finish_directory_catalog(std::move(retainer), children);
    return children;
}

std::vector<std::string> kept_paths(NodeList children) {
    std::vector<std::string> paths;
    for (const auto& c : children) {
        if (c.state != NodeState::SmallFilesAggregate && c.state != NodeState::Incomplete) {
            paths.emplace_back(c.path);
        }
    }
    std::ranges::sort(paths);
    return paths;
}

const TreeNode* aggregate_of(const NodeList& children) {
    const TreeNode* found = nullptr;
    for (const auto& c : children) {
        if (c.path.starts_with(kSmallFilesPrefix)) {
            EXPECT_EQ(found, nullptr) << "more than one aggregate";
            found = &c;
        }
    }
    return found;
}

TEST(Retention, KeepAllKeepsEveryFileInOrderWithoutAggregate) {
    std::vector<Input> files;
    for (int i = 0; i < 1000; ++i) files.push_back({"f" + std::to_string(i), i % 7});
    const auto children = retain(KeepAll{}, files);
    ASSERT_EQ(children.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(std::string_view(children[i].path), "/d/" + files[i].name);
    EXPECT_EQ(aggregate_of(children), nullptr);
}

struct KeepCase {
    const char* what;
    KeepLargest setting;
    std::vector<Input> files;
    std::vector<std::string> kept;  // sorted
    std::int64_t omitted_bytes;
    std::int64_t omitted_files;
};

TEST(Retention, KeepLargestKeepsTheLargestAndSumsTheRest) {
    const std::vector<KeepCase> cases = {
        {"ties keep the larger paths",
         {2, 0},
         {{"a", 10}, {"b", 10}, {"c", 10}, {"d", 10}},
         {"/d/c", "/d/d"},
         20,
         2},
        {"ties in another arrival order",
         {2, 0},
         {{"d", 10}, {"b", 10}, {"a", 10}, {"c", 10}},
         {"/d/c", "/d/d"},
         20,
         2},
        {"largest win over later small ones",
         {2, 0},
         {{"big", 900}, {"s1", 1}, {"mid", 500}, {"s2", 2}, {"huge", 1000}},
         {"/d/big", "/d/huge"},
         503,
         3},
        {"exactly min_size stays, one byte less goes",
         {10, 4096},
         {{"exact", 4096}, {"below", 4095}, {"above", 8192}},
         {"/d/above", "/d/exact"},
         4095,
         1},
        {"min_size 0 omits nothing by size",
         {10, 0},
         {{"empty", 0}, {"one", 1}},
         {"/d/empty", "/d/one"},
         0,
         0},
        {"zero limit omits every normal file", {0, 0}, {{"a", 5}, {"b", 0}, {"c", 7}}, {}, 12, 3},
        {"placeholders and unreadable files always stay",
         {0, 1},
         {{"cloud", 0, NodeState::CloudPlaceholder},
          {"broken", 0, NodeState::Incomplete},
          {"x", 3}},
         {"/d/cloud"},  // kept_paths leaves Incomplete nodes out; checked below
         3,
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto children = retain(c.setting, c.files);
        EXPECT_EQ(kept_paths(children), c.kept);
        const TreeNode* aggregate = aggregate_of(children);
        if (c.omitted_files == 0) {
            EXPECT_EQ(aggregate, nullptr);
            continue;
        }
        ASSERT_NE(aggregate, nullptr);
        EXPECT_EQ(aggregate->path, "bramvelt-small-files:///d");
        EXPECT_EQ(aggregate->kind, NodeKind::File);
        EXPECT_EQ(aggregate->size, c.omitted_bytes);
        EXPECT_EQ(aggregate->file_count, c.omitted_files);
        EXPECT_FALSE(aggregate->modification_time.has_value());
        EXPECT_TRUE(aggregate->children.empty());
        EXPECT_TRUE(aggregate->is_readable);
        EXPECT_EQ(aggregate->state, NodeState::SmallFilesAggregate);
    }
}

TEST(Retention, NonNormalFilesAreKeptUnderEverySetting) {
    const auto children =
        retain(KeepLargest{0, 1}, {{"broken", 0, NodeState::Incomplete}, {"x", 3}});
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(children[0].path, "/d/broken");
    EXPECT_EQ(children[0].state, NodeState::Incomplete);
}

TEST(Retention, ManyFilesKeepExactlyTheLimitLargest) {
    std::vector<Input> files;
    std::uint64_t seed = 12345;
    for (int i = 0; i < 5000; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        files.push_back({"f" + std::to_string(i), static_cast<std::int64_t>((seed >> 33) % 300)});
    }
    auto expected = files;
    std::ranges::stable_sort(expected, [](const Input& a, const Input& b) {
        if (a.size != b.size) return a.size > b.size;
        return ("/d/" + a.name) > ("/d/" + b.name);
    });
    expected.resize(64);
    std::vector<std::string> expected_paths;
    std::int64_t kept_bytes = 0;
    for (const auto& e : expected) {
        expected_paths.push_back("/d/" + e.name);
        kept_bytes += e.size;
    }
    std::ranges::sort(expected_paths);

    const auto children = retain(KeepLargest{64, 0}, files);
    EXPECT_EQ(kept_paths(children), expected_paths);
    std::int64_t total = 0;
    for (const auto& f : files) total += f.size;
    const TreeNode* aggregate = aggregate_of(children);
    ASSERT_NE(aggregate, nullptr);
    EXPECT_EQ(aggregate->size, total - kept_bytes);
    EXPECT_EQ(aggregate->file_count, 5000 - 64);
}

}  // namespace
}  // namespace bramvelt::scan
