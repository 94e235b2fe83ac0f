// A whole scan of a real folder tree with largest-only retention and a catalog.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "catalog_support.hpp"
#include "platform/writer.hpp"
#include "scan/scan.hpp"
#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

using catalog_test::read_index;
using catalog_test::read_records;
using testing::ScopedEnv;
using testing::TempDir;

struct Scan {
    std::expected<ScanOutcome, std::string> result;
    std::vector<std::string> error_codes;
    std::vector<NodeState> error_tree_states;
};

Scan scan_with_catalog(const std::string& root, const std::shared_ptr<ScanCatalog>& catalog,
                       const CancelFlag& cancel) {
    ScanOptions options;
    options.retention = KeepLargest{2, 1};
    options.jobs = 2;
    options.snapshot_interval = {0, 0};
    auto session =
        std::make_shared<ScanSession>(options, std::make_unique<platform::NullWriter>(), cancel);
    session->catalog = catalog;
    Scan scan;
    set_event_callback(*session, [&scan](ScanEvent event) -> std::expected<void, std::string> {
        if (const auto* error = std::get_if<ErrorEvent>(&event)) {
            scan.error_codes.emplace_back(error->code);
            if (error->partial_tree != nullptr) {
                scan.error_tree_states.push_back(error->partial_tree->state);
            }
        }
        return {};
    });
    scan.result = run_scan(session, root);
    return scan;
}

std::int64_t allocated(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return static_cast<std::int64_t>(st.st_blocks) * 512;
}

const TreeNode* child(const TreeNode& node, const std::string& path) {
    for (const auto& c : node.children) {
        if (std::string_view(c.path) == path) return &c;
    }
    return nullptr;
}

class CatalogScan : public ::testing::Test {
  protected:
    void SetUp() override {
        root = tmp.make_dir("root");
        // Sizes in distinct allocation steps, so the two largest of each folder are clear.
        const std::map<std::string, std::size_t> files = {
            {"top-big", 70000}, {"top-small", 10}, {"a/huge", 90000}, {"a/large", 50000},
            {"a/mid", 20000},   {"a/tiny", 10},    {"a/empty", 0},    {"a/deep/one", 9000},
            {"b/x", 30000},     {"b/y", 30000},    {"b/z", 30000},
        };
        for (const auto& [name, size] : files) {
            tmp.write_file("root/" + name, std::string(size, 'x'));
        }
        catalog_dir = tmp.make_dir("root/catalog");
        ::chmod(catalog_dir.c_str(), 0700);
        tmp.write_file("root/catalog/unrelated", std::string(100000, 'x'));
    }

    std::shared_ptr<ScanCatalog> open_catalog() {
        auto catalog = open_scan_catalog(catalog_dir, cancel);
        EXPECT_TRUE(catalog.has_value());
        return catalog.value_or(nullptr);
    }

    TempDir tmp;
    ScopedEnv home{"HOME", (tmp / "home").c_str()};
    std::string root;
    std::string catalog_dir;
    CancelFlag cancel = make_cancel_flag();
};

TEST_F(CatalogScan, KeepsTheLargestFilesAndCatalogsTheRest) {
    auto catalog = open_catalog();
    const Scan scan = scan_with_catalog(root, catalog, cancel);
    ASSERT_TRUE(scan.result.has_value()) << scan.result.error();
    EXPECT_TRUE(scan.error_codes.empty());
    EXPECT_FALSE(scan.result->cancelled);
    const TreeNode& tree = scan.result->tree;

    // The catalog's own folder is a leaf and its contents are not counted.
    const TreeNode* leaf = child(tree, catalog_dir);
    ASSERT_NE(leaf, nullptr);
    EXPECT_EQ(leaf->state, NodeState::PolicyExcluded);
    EXPECT_EQ(scan.result->files_scanned, 11u);

    const TreeNode* a = child(tree, root + "/a");
    ASSERT_NE(a, nullptr);
    std::vector<std::string> paths;
    for (const auto& c : a->children) paths.emplace_back(c.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{root + "/a/huge", root + "/a/large",
                                        "bramvelt-small-files://" + root + "/a", root + "/a/deep"}))
        << "sorted by size: the aggregate holds mid, tiny and empty";
    const TreeNode* aggregate = child(*a, "bramvelt-small-files://" + root + "/a");
    ASSERT_NE(aggregate, nullptr);
    EXPECT_EQ(aggregate->state, NodeState::SmallFilesAggregate);
    EXPECT_EQ(aggregate->file_count, 3);
    EXPECT_EQ(aggregate->size, allocated(root + "/a/mid") + allocated(root + "/a/tiny"));
    // Omitted files still count in the folder's totals.
    EXPECT_EQ(a->file_count, 6);
    // A folder within the limit omits nothing and gets no aggregate.
    const TreeNode* deep = child(*a, root + "/a/deep");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->children.size(), 1u);

    // Three equal files: the two with the larger names stay.
    const TreeNode* b = child(tree, root + "/b");
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(b->children.size(), 3u);
    EXPECT_EQ(std::string_view(b->children[0].path), root + "/b/y");
    EXPECT_EQ(std::string_view(b->children[1].path), root + "/b/z");
    EXPECT_EQ(b->children[2].file_count, 1);
    EXPECT_EQ(b->children[2].state, NodeState::SmallFilesAggregate);

    // Only the folders that omitted files have catalog files.
    std::set<std::string> expected = {"unrelated"};
    for (const std::string& dir : {root + "/a", root + "/b"}) {
        const std::string key = catalog_directory_key(dir);
        for (const char* ext : {".binding", ".data", ".index"}) expected.insert(key + ext);
    }
    catalog_test::CatalogFolder view{tmp, "root/catalog"};
    EXPECT_EQ(view.names(), expected);

    const auto records = read_records(view, catalog_directory_key(root + "/a") + ".data");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::string_view(records[0].node.path), root + "/a/mid");
    EXPECT_EQ(std::string_view(records[2].node.path), root + "/a/empty");
    struct stat st {};
    ASSERT_EQ(::lstat((root + "/a/mid").c_str(), &st), 0);
    ASSERT_TRUE(records[0].identity.has_value());
    EXPECT_EQ(records[0].identity->inode, st.st_ino);
    EXPECT_EQ(records[0].identity->device, st.st_dev);
    EXPECT_EQ(records[0].identity->link_count, 1u);
    EXPECT_EQ(records[0].node.size, allocated(root + "/a/mid"));
    const auto index = read_index(view / (catalog_directory_key(root + "/a") + ".index"));
    EXPECT_EQ(index.directory, root + "/a");
    EXPECT_EQ(index.count, 3u);

    platform::StringWriter json;
    ASSERT_TRUE(write_tree_json(json, tree));
    EXPECT_NE(json.text().find("\"name\":\"Smaller files\""), std::string::npos);
    EXPECT_NE(json.text().find("\"isSmallFilesAggregate\":true,\"aggregateDirectory\":" +
                               json_quoted(root + "/a")),
              std::string::npos);
}

TEST_F(CatalogScan, AReusedCatalogEndsTheScanWithItsError) {
    ASSERT_TRUE(scan_with_catalog(root, open_catalog(), cancel).result.has_value());
    CancelFlag second = make_cancel_flag();
    auto catalog = open_scan_catalog(catalog_dir, second);
    ASSERT_TRUE(catalog.has_value());
    const Scan scan = scan_with_catalog(root, *catalog, second);
    ASSERT_FALSE(scan.result.has_value());
    EXPECT_EQ(scan.result.error(), "Compact scan catalog failed: File exists (os error 17)");
    EXPECT_EQ(scan.error_codes, std::vector<std::string>{"catalog_error"});
    EXPECT_EQ(scan.error_tree_states, std::vector<NodeState>{NodeState::Incomplete});
    EXPECT_TRUE(second->load());
}

TEST_F(CatalogScan, TheCatalogFolderCannotBeTheRoot) {
    auto catalog = open_catalog();
    const Scan scan = scan_with_catalog(catalog_dir, catalog, cancel);
    ASSERT_FALSE(scan.result.has_value());
    EXPECT_EQ(scan.result.error(), "Catalog lease must differ from the scan root");
    EXPECT_EQ(scan.error_codes, std::vector<std::string>{"scanFailed"});
}

}  // namespace
}  // namespace bramvelt::scan
