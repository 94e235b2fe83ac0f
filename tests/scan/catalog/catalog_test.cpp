#include "scan/catalog.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "catalog_support.hpp"
#include "scan/catalog_writer.hpp"
#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

using catalog_test::CatalogFolder;
using catalog_test::file_node;
using catalog_test::padded_path;
using catalog_test::read_index;
using catalog_test::read_records;
using testing::TempDir;

constexpr std::string_view kTmpKey = "7f7de39c4bcebddb884524b8a046d56a";
// Paths of this length fill the run budget with exactly 128 records (3904 + 192 = 4096).
constexpr std::size_t kBudgetPath = 3904;

// Runs one directory's files through largest-only retention with a catalog.
struct Directory {
    Directory(const CatalogFolder& folder, std::string_view path, KeepLargest setting = {0, 0})
        : retainer(setting, path, folder.catalog) {}
    void add(TreeNode node, std::optional<CatalogIdentity> identity = std::nullopt) {
        retain_or_spill_child(retainer, std::move(node), identity, children);
    }
    const TreeNode& finish() {
        finish_directory_catalog(std::move(retainer), children);
        EXPECT_FALSE(children.empty());
        return children.back();
    }
    ChildRetainer retainer;
    NodeList children;
};

std::set<std::string> names_of(std::string_view key, std::initializer_list<std::string_view> ext) {
    std::set<std::string> out;
    for (auto e : ext) out.insert(std::string(key) + std::string(e));
    return out;
}

TEST(CatalogKey, NamesFilesAfterTwoFnvHashesOfThePath) {
    EXPECT_EQ(catalog_directory_key("/tmp"), kTmpKey);
    EXPECT_EQ(catalog_run_name(kTmpKey, 12), std::string(kTmpKey) + ".run.12");
    EXPECT_EQ(catalog_binding_name(kTmpKey), std::string(kTmpKey) + ".binding");
    EXPECT_EQ(catalog_index_name(kTmpKey), std::string(kTmpKey) + ".index");
    // Bytes above 0x7f and the second hash's "+1" matter.
    const std::string key = catalog_directory_key("/\xff");
    EXPECT_EQ(key.size(), 32u);
    EXPECT_NE(key, catalog_directory_key("/\xfe"));
    EXPECT_EQ(key.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(OpenScanCatalog, RefusesFoldersOthersCouldTamperWith) {
    TempDir tmp;
    const std::string good = tmp.make_dir("good");
    ::chmod(good.c_str(), 0700);
    const std::string shared = tmp.make_dir("shared");
    ::chmod(shared.c_str(), 0755);
    const std::string foreign = tmp.make_dir("foreign");
    ::chmod(foreign.c_str(), 0700);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::symlink(good.c_str(), (tmp / "link").c_str()), 0);
    tmp.make_dir("through");
    ASSERT_EQ(::symlink(good.c_str(), (tmp / "through/inner").c_str()), 0);

    const auto opened = open_scan_catalog(good, make_cancel_flag());
    ASSERT_TRUE(opened.has_value()) << opened.error();
    struct stat st {};
    ASSERT_EQ(::stat(good.c_str(), &st), 0);
    EXPECT_EQ((*opened)->device(), st.st_dev);
    EXPECT_EQ((*opened)->inode(), st.st_ino);
    EXPECT_EQ((*opened)->folder(), good);
    EXPECT_FALSE((*opened)->first_error().has_value());

    const std::vector<std::pair<std::string, std::string>> refused = {
        {tmp / "link", "Catalog files must not be links"},
        {tmp / "through/inner/", "Catalog files must not be links"},
        {shared, "Catalog storage must be private and owned by this account"},
        {foreign, "Catalog storage must be private and owned by this account"},
        {tmp / "missing", "No such file or directory (os error 2)"},
        {tmp.write_file("plain"), "Not a directory (os error 20)"},
        {"relative", "Invalid argument (os error 22)"},
    };
    for (const auto& [path, text] : refused) {
        SCOPED_TRACE(path);
        const auto result = open_scan_catalog(path, make_cancel_flag());
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), text);
    }
}

TEST(ScanCatalog, KeepsTheFirstErrorAndCancelsOnEveryRecord) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    EXPECT_EQ(catalog_first_error(*folder.catalog), std::nullopt);
    record_catalog_error(*folder.catalog, "first");
    EXPECT_TRUE(folder.cancel->load());
    folder.cancel->store(false);
    record_catalog_error(*folder.catalog, "second");
    EXPECT_TRUE(folder.cancel->load());
    EXPECT_EQ(catalog_first_error(*folder.catalog), "Compact scan catalog failed: first");
}

// A few thousand records: sixteen flushes merge runs 1-16 into run 17, the finish
// flushes run 18 and merges 18 and 17 into the data file, read back for the index.
TEST(CatalogWriter, RoundTripThroughRunsMergesAndIndex) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string dir = "/data/big";
    const std::string key = catalog_directory_key(dir);
    Directory directory(folder, dir, KeepLargest{3, 0});

    std::vector<RetainedChild> added;
    std::uint64_t seed = 42;
    constexpr int kTotal = 2100;
    for (int i = 0; i < kTotal; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        // Few distinct sizes, so most records tie and are ordered by path; numbers are
        // shuffled so that path order differs from arrival order.
        const auto number = static_cast<std::int64_t>((seed >> 20) % 1000000) * 10000 + i;
        TreeNode node = file_node(padded_path(dir, number, kBudgetPath),
                                  static_cast<std::int64_t>((seed >> 40) % 50) * 4096,
                                  i % 3 == 0 ? std::nullopt : std::optional<std::int64_t>(i));
        node.is_readable = i % 5 != 0;
        std::optional<CatalogIdentity> identity;
        if (i % 2 == 0) {
            identity = CatalogIdentity{(static_cast<CatalogInode>(i + 1) << 64) | 7u,
                                       static_cast<std::uint64_t>(i) * 3, 2, 8192};
        }
        added.push_back({node, identity});
        directory.add(std::move(node), identity);
        if (i == 2048 + 3 - 1) {
            // Three kept in memory; 2048 records made sixteen runs, merged into run 17.
            EXPECT_EQ(folder.names(), names_of(key, {".binding", ".run.17"}));
        }
    }
    const TreeNode aggregate = directory.finish();
    EXPECT_EQ(folder.first_error(), std::nullopt);
    EXPECT_EQ(folder.names(), names_of(key, {".binding", ".data", ".index"}));

    // Retention keeps the largest (size, path) pairs: among equal sizes the larger paths.
    std::ranges::sort(added, [](const RetainedChild& a, const RetainedChild& b) {
        if (a.node.size != b.node.size) return a.node.size > b.node.size;
        return a.node.path > b.node.path;
    });
    std::vector<std::string> largest = {std::string(added[0].node.path),
                                        std::string(added[1].node.path),
                                        std::string(added[2].node.path)};
    std::ranges::sort(largest);
    std::vector<RetainedChild> omitted(added.begin() + 3, added.end());
    std::ranges::sort(omitted, [](const RetainedChild& a, const RetainedChild& b) {
        return catalog_record_precedes(a.node, b.node);
    });
    std::int64_t omitted_bytes = 0;
    for (const auto& r : omitted) omitted_bytes += r.node.size;

    // The three largest stay in the tree, the rest are in the aggregate and the catalog.
    ASSERT_EQ(directory.children.size(), 4u);
    std::vector<std::string> kept;
    for (std::size_t i = 0; i < 3; ++i) kept.emplace_back(directory.children[i].path);
    std::ranges::sort(kept);
    EXPECT_EQ(kept, largest);
    EXPECT_EQ(std::string_view(aggregate.path), std::string(kSmallFilesPrefix) + dir);
    EXPECT_EQ(aggregate.state, NodeState::SmallFilesAggregate);
    EXPECT_EQ(aggregate.file_count, kTotal - 3);
    EXPECT_EQ(aggregate.size, omitted_bytes);

    const auto records = read_records(folder, key + ".data");
    ASSERT_EQ(records.size(), omitted.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(std::string_view(records[i].node.path), omitted[i].node.path);
        EXPECT_EQ(records[i].node.size, omitted[i].node.size);
        EXPECT_EQ(records[i].node.file_count, 1);
        EXPECT_EQ(records[i].node.modification_time, omitted[i].node.modification_time);
        EXPECT_EQ(records[i].node.is_readable, omitted[i].node.is_readable);
        EXPECT_EQ(records[i].identity, omitted[i].identity);
        if (HasFailure()) break;
    }

    const auto binding = catalog_test::read_bytes(folder / (key + ".binding"));
    EXPECT_EQ(binding, std::string("\x09\0\0\0", 4) + dir);

    const auto index = read_index(folder / (key + ".index"));
    const std::string data = catalog_test::read_bytes(folder / (key + ".data"));
    EXPECT_EQ(index.directory, dir);
    EXPECT_EQ(index.count, omitted.size());
    EXPECT_EQ(index.bytes, static_cast<std::uint64_t>(omitted_bytes));
    EXPECT_EQ(index.data_size, data.size());
    ASSERT_EQ(index.offsets.size(), omitted.size() + 1);
    EXPECT_EQ(index.offsets.front(), 0u);
    EXPECT_EQ(index.offsets.back(), data.size());
    for (std::size_t i = 0; i + 1 < index.offsets.size(); ++i) {
        const std::uint64_t at = index.offsets[i];
        ASSERT_EQ(catalog_test::u32_at(data, at), omitted[i].node.path.size());
        ASSERT_EQ(data.substr(at + 4, omitted[i].node.path.size()),
                  std::string_view(omitted[i].node.path));
        ASSERT_EQ(index.offsets[i + 1] - at, catalog_record_length(omitted[i]));
    }
}

// 47 full runs leave 15 runs on level 0 and two merged ones on level 1: the finish first
// merges sixteen of the seventeen, then the last two into the data file.
TEST(CatalogWriter, MoreThanSixteenRunsAtTheEndMergeInPasses) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string dir = "/d";
    const std::string key = catalog_directory_key(dir);
    Directory directory(folder, dir);
    constexpr int kTotal = 47 * 128;
    std::vector<std::pair<std::int64_t, std::string>> expected;
    for (int i = 0; i < kTotal; ++i) {
        const std::int64_t size = (i * 7919) % 997;
        std::string path = padded_path(dir, (i * 104729) % 1000003, kBudgetPath);
        expected.emplace_back(size, path);
        directory.add(file_node(std::move(path), size));
    }
    EXPECT_EQ(folder.names().size(), 1u + 15 + 2);
    directory.finish();
    EXPECT_EQ(folder.first_error(), std::nullopt);
    EXPECT_EQ(folder.names(), names_of(key, {".binding", ".data", ".index"}));
    std::ranges::sort(expected, [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first > b.first;
        return a.second < b.second;
    });
    const auto records = read_records(folder, key + ".data");
    ASSERT_EQ(records.size(), expected.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].node.size, expected[i].first) << i;
        ASSERT_EQ(std::string_view(records[i].node.path), expected[i].second) << i;
    }
    EXPECT_EQ(read_index(folder / (key + ".index")).count, static_cast<std::uint64_t>(kTotal));
}

TEST(CatalogWriter, FewFilesMakeOneRunThatBecomesTheDataFile) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string dir = "/d";
    const std::string key = catalog_directory_key(dir);
    Directory directory(folder, dir);
    // Equal sizes sort by path bytes: a prefix first, bytes above 0x7f last.
    for (const char* name : {"b", "\xc3\xa9", "ab", "a", "small"}) {
        directory.add(file_node(dir + "/" + name, std::string_view(name) == "small" ? 1 : 10, 5));
    }
    directory.add(file_node(dir + "/large", 4096));
    directory.finish();
    EXPECT_EQ(folder.first_error(), std::nullopt);
    EXPECT_EQ(folder.names(), names_of(key, {".binding", ".data", ".index"}));

    std::vector<std::string> paths;
    for (const auto& r : read_records(folder, key + ".data")) paths.emplace_back(r.node.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/d/large", "/d/a", "/d/ab", "/d/b", "/d/\xc3\xa9",
                                               "/d/small"}));
    struct stat st {};
    ASSERT_EQ(::stat((folder / (key + ".data")).c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((folder / (key + ".index")).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CatalogWriter, KeepAllAndKeptFilesWriteNothing) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    ChildRetainer all(KeepAll{}, "/d", folder.catalog);
    ChildRetainer roomy(KeepLargest{10, 0}, "/e", folder.catalog);
    NodeList children;
    for (int i = 0; i < 5; ++i) {
        retain_or_spill_child(all, file_node("/d/" + std::to_string(i), i), std::nullopt, children);
        retain_or_spill_child(roomy, file_node("/e/" + std::to_string(i), i), std::nullopt,
                              children);
    }
    finish_directory_catalog(std::move(all), children);
    finish_directory_catalog(std::move(roomy), children);
    EXPECT_EQ(children.size(), 10u);
    EXPECT_TRUE(folder.names().empty());
}

TEST(CatalogWriter, NoRecordsGiveAnEmptyDataFileAndOneOffset) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string key = catalog_directory_key("/d");
    Directory directory(folder, "/d");
    directory.add(file_node("/elsewhere/x", 10));  // makes the writer, then is refused
    const TreeNode aggregate = directory.finish();
    EXPECT_EQ(folder.first_error(), "Compact scan catalog failed: Invalid catalog file record");
    EXPECT_TRUE(folder.cancel->load());
    EXPECT_EQ(folder.names(), names_of(key, {".binding", ".data", ".index"}));
    EXPECT_EQ(catalog_test::read_bytes(folder / (key + ".data")), "");
    const auto index = read_index(folder / (key + ".index"));
    EXPECT_EQ(index.directory, "/d");
    EXPECT_EQ(index.count, 0u);
    EXPECT_EQ(index.bytes, 0u);
    EXPECT_EQ(index.data_size, 0u);
    EXPECT_EQ(index.offsets, std::vector<std::uint64_t>{0});
    // The refused file still counts in the tree, but the aggregate says it is incomplete.
    EXPECT_EQ(aggregate.size, 10);
    EXPECT_EQ(aggregate.file_count, 1);
    EXPECT_FALSE(aggregate.is_readable);
    EXPECT_EQ(aggregate.state, NodeState::Incomplete);
}

TEST(CatalogWriter, PathsUpTo65536BytesAreAccepted) {
    TempDir tmp;
    const std::string dir = "/" + std::string(100, 'd');
    {
        CatalogFolder folder(tmp, "ok");
        Directory directory(folder, dir);
        directory.add(file_node(padded_path(dir, 1, 65536), 1));
        directory.finish();
        EXPECT_EQ(folder.first_error(), std::nullopt);
        const auto records = read_records(folder, catalog_directory_key(dir) + ".data");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].node.path.size(), 65536u);
    }
    {
        CatalogFolder folder(tmp, "long");
        Directory directory(folder, dir);
        directory.add(file_node(padded_path(dir, 1, 65537), 1));
        EXPECT_EQ(folder.first_error(), "Compact scan catalog failed: Invalid catalog file record");
        EXPECT_EQ(folder.names(), names_of(catalog_directory_key(dir), {".binding"}));
    }
}

TEST(CatalogWriter, AReusedFolderFailsAtTheFirstOmittedFile) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string key = catalog_directory_key("/d");
    tmp.write_file("catalog/" + key + ".binding", "old");
    Directory directory(folder, "/d");
    directory.add(file_node("/d/a", 1));
    directory.add(file_node("/d/b", 2));
    const TreeNode aggregate = directory.finish();
    EXPECT_EQ(folder.first_error(), "Compact scan catalog failed: File exists (os error 17)");
    EXPECT_TRUE(folder.cancel->load());
    EXPECT_EQ(catalog_test::read_bytes(folder / (key + ".binding")), "old");
    EXPECT_EQ(folder.names(), names_of(key, {".binding"}));
    EXPECT_EQ(aggregate.state, NodeState::Incomplete);
    EXPECT_EQ(aggregate.file_count, 2);
}

TEST(CatalogWriter, AfterAFailureOpenDirectoriesStillFinishButRecordNoMore) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    Directory early(folder, "/a");
    early.add(file_node("/a/1", 5));
    early.add(file_node("/a/2", 6));

    Directory broken(folder, "/b");
    broken.add(file_node("/c/not-inside", 1));
    ASSERT_TRUE(folder.first_error().has_value());

    early.add(file_node("/a/3", 7));  // counted, not recorded
    const TreeNode early_aggregate = early.finish();
    EXPECT_EQ(early_aggregate.file_count, 3);
    EXPECT_EQ(early_aggregate.size, 18);
    EXPECT_EQ(early_aggregate.state, NodeState::Incomplete);
    const auto records = read_records(folder, catalog_directory_key("/a") + ".data");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].node.path, "/a/2");
    const auto index = read_index(folder / (catalog_directory_key("/a") + ".index"));
    EXPECT_EQ(index.count, 2u);

    Directory late(folder, "/z");  // a directory started afterwards gets no files at all
    late.add(file_node("/z/1", 1));
    EXPECT_EQ(late.finish().state, NodeState::Incomplete);
    EXPECT_FALSE(folder.names().contains(catalog_directory_key("/z") + ".binding"));
    EXPECT_EQ(folder.first_error(), "Compact scan catalog failed: Invalid catalog file record");
}

TEST(CatalogWriter, WritesStayInTheOpenedFolderWhenItsPathIsSwapped) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    Directory directory(folder, "/d");
    directory.add(file_node("/d/a", 1));
    ASSERT_EQ(::rename(folder.path.c_str(), (tmp / "moved").c_str()), 0);
    const std::string decoy = tmp.make_dir("catalog");
    directory.add(file_node("/d/b", 2));
    directory.finish();
    EXPECT_EQ(folder.first_error(), std::nullopt);
    EXPECT_TRUE(std::filesystem::is_empty(decoy));
    EXPECT_TRUE(std::filesystem::exists(tmp / ("moved/" + catalog_directory_key("/d") + ".index")));
}

TEST(CatalogWriter, AFolderRemovedMidScanIsRecorded) {
    TempDir tmp;
    {
        CatalogFolder folder(tmp, "before");
        std::filesystem::remove(folder.path);
        Directory directory(folder, "/d");
        directory.add(file_node("/d/a", 1));
        EXPECT_EQ(directory.finish().state, NodeState::Incomplete);
        EXPECT_EQ(folder.first_error(),
                  "Compact scan catalog failed: No such file or directory (os error 2)");
    }
    {
        CatalogFolder folder(tmp, "during");
        Directory directory(folder, "/d");
        directory.add(file_node("/d/a", 1));  // binding written
        std::filesystem::remove_all(folder.path);
        EXPECT_EQ(directory.finish().state, NodeState::Incomplete);
        EXPECT_EQ(folder.first_error(),
                  "Compact scan catalog failed: No such file or directory (os error 2)");
        EXPECT_TRUE(folder.cancel->load());
    }
}

}  // namespace
}  // namespace bramvelt::scan
