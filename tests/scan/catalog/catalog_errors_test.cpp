// Every failure of the catalog: its text, recorded once behind the catalog's prefix, the
// scan cancelled, and nothing written outside the catalog folder.

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "catalog_support.hpp"
#include "scan/catalog_writer.hpp"
#include "support/as_user.hpp"

namespace bramvelt::scan {
namespace {

using catalog_test::CatalogFolder;
using catalog_test::file_node;
using catalog_test::padded_path;
using testing::TempDir;

constexpr std::string_view kErrorPrefix = "Compact scan catalog failed: ";
constexpr std::size_t kBudgetPath = 3904;  // 128 records fill the run budget

// One directory "/d" under largest-only retention that omits every file.
struct Spill {
    explicit Spill(const CatalogFolder& folder, std::string_view dir = "/d")
        : retainer(KeepLargest{0, 0}, dir, folder.catalog) {}
    void add(TreeNode node) { retain_or_spill_child(retainer, std::move(node), {}, children); }
    // Enough long records for exactly one run (K.run.1).
    void fill_one_run(int first = 0) {
        for (int i = first; i < first + 128; ++i)
            add(file_node(padded_path("/d", i, kBudgetPath), i));
    }
    TreeNode finish() {
        finish_directory_catalog(std::move(retainer), children);
        return children.back();
    }
    CatalogDirectoryWriter& writer() { return *retainer.writer; }
    ChildRetainer retainer;
    NodeList children;
};

std::string run_path(const CatalogFolder& folder, int n) {
    return folder / catalog_run_name(catalog_directory_key("/d"), static_cast<std::uint64_t>(n));
}

struct ErrorCase {
    const char* what;
    std::function<void(const TempDir&, const CatalogFolder&, Spill&)> act;
    std::string text;
};

TEST(CatalogErrors, EachFailureIsRecordedOnceAndCancelsTheScan) {
    const std::vector<ErrorCase> cases = {
        {"directory not absolute",
         [](auto&, auto& folder, auto&) {
             Spill relative(folder, "relative/d");
             relative.add(file_node("relative/d/x", 1));
         },
         "Invalid catalog directory"},
        {"file outside its directory",
         [](auto&, auto&, Spill& s) { s.add(file_node("/d/sub/x", 1)); },
         "Invalid catalog file record"},
        {"a record that is no plain file",
         [](auto&, auto&, Spill& s) {
             TreeNode node = file_node("/d/x", 1);
             node.file_count = 2;
             s.add(std::move(node));
         },
         "Invalid catalog file record"},
        {"count at its maximum",
         [](auto&, auto&, Spill& s) {
             s.add(file_node("/d/a", 1));
             s.writer().record_count = std::numeric_limits<std::uint64_t>::max();
             s.add(file_node("/d/b", 1));
         },
         "Catalog count overflow"},
        {"sizes that overflow",
         [](auto&, auto&, Spill& s) {
             s.add(file_node("/d/a", std::numeric_limits<std::int64_t>::max()));
             s.add(file_node("/d/b", std::numeric_limits<std::int64_t>::max()));
         },
         "Catalog allocation overflow"},
        {"run counter at its maximum",
         [](auto&, auto&, Spill& s) {
             s.add(file_node("/d/a", 1));
             s.writer().run_counter = std::numeric_limits<std::uint64_t>::max();
             s.finish();
         },
         "Catalog run overflow"},
        {"data file disagrees with the count",
         [](auto&, auto&, Spill& s) {
             s.add(file_node("/d/a", 1));
             s.writer().record_count += 1;
             s.finish();
         },
         "Catalog accounting does not match omitted files"},
        {"data file disagrees with the bytes",
         [](auto&, auto&, Spill& s) {
             s.add(file_node("/d/a", 1));
             s.writer().record_bytes += 1;
             s.finish();
         },
         "Catalog accounting does not match omitted files"},
        {"run replaced by a link",
         [](const TempDir& tmp, auto& folder, Spill& s) {
             s.fill_one_run();
             const std::string elsewhere = tmp.write_file("elsewhere");
             ::chmod(elsewhere.c_str(), 0600);
             std::filesystem::remove(run_path(folder, 1));
             ::symlink(elsewhere.c_str(), run_path(folder, 1).c_str());
             s.add(file_node("/d/last", 1));
             s.finish();
         },
         "Catalog files must not be links"},
        {"run replaced by a pipe",
         [](auto&, auto& folder, Spill& s) {
             s.fill_one_run();
             std::filesystem::remove(run_path(folder, 1));
             ::mkfifo(run_path(folder, 1).c_str(), 0600);
             s.add(file_node("/d/last", 1));
             s.finish();
         },
         "Catalog storage is not a regular file"},
        {"run readable by others",
         [](auto&, auto& folder, Spill& s) {
             s.fill_one_run();
             ::chmod(run_path(folder, 1).c_str(), 0640);
             s.finish();
         },
         "Catalog storage must be private and owned by this account"},
        {"run with a second name",
         [](const TempDir& tmp, auto& folder, Spill& s) {
             s.fill_one_run();
             ::link(run_path(folder, 1).c_str(), (tmp / "copy").c_str());
             s.add(file_node("/d/last", 1));
             s.finish();
         },
         "Catalog storage must be private and owned by this account"},
        {"run owned by someone else",
         [](auto&, auto& folder, Spill& s) {
             s.fill_one_run();
             ::chown(run_path(folder, 1).c_str(), 65534, 65534);
             s.add(file_node("/d/last", 1));
             s.finish();
         },
         "Catalog storage must be private and owned by this account"},
        {"run cut short",
         [](auto&, auto& folder, Spill& s) {
             s.fill_one_run();
             ::truncate(run_path(folder, 1).c_str(),
                        static_cast<off_t>(std::filesystem::file_size(run_path(folder, 1)) - 1));
             s.finish();
         },
         "failed to fill whole buffer"},
        {"index name taken",
         [](const TempDir& tmp, auto&, Spill& s) {
             s.add(file_node("/d/a", 1));
             tmp.write_file("catalog/" + catalog_pending_name(catalog_directory_key("/d")));
             s.finish();
         },
         "File exists (os error 17)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir tmp;
        CatalogFolder folder(tmp);
        Spill spill(folder);
        c.act(tmp, folder, spill);
        EXPECT_EQ(folder.first_error(), std::string(kErrorPrefix) + c.text);
        EXPECT_TRUE(folder.cancel->load());
        // Nothing appeared beside the catalog folder but what the case made itself.
        for (const auto& entry : std::filesystem::directory_iterator(tmp.path())) {
            const auto name = entry.path().filename().string();
            EXPECT_TRUE(name == "catalog" || name == "elsewhere" || name == "copy") << name;
        }
    }
}

TEST(CatalogErrors, MergesTakeAtMostSixteenRuns) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::vector<std::string> seventeen(17, "x");
    const auto merged = merge_catalog_runs(folder.catalog->folder_fd(), seventeen, "out");
    ASSERT_FALSE(merged.has_value());
    EXPECT_EQ(merged.error(), "Catalog merge fan-in exceeded");
    EXPECT_TRUE(folder.names().empty());
}

TEST(CatalogErrors, TextsLongerThanTheCapacityAreNotEncoded) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    auto out = CatalogOutput::create(folder.catalog->folder_fd(), "records");
    ASSERT_TRUE(out.has_value());
    const auto ok = encode_catalog_record(*out, {file_node(std::string(65537, 'x'), 1), {}});
    ASSERT_FALSE(ok.has_value());
    EXPECT_EQ(ok.error(), "Catalog text exceeds capacity");
}

std::string u32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}
std::string u64(std::uint64_t v) {
    std::string s;
    for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}
// A record of path "/d/x": flags given as bytes, the identity appended as given.
std::string record(char time_flag, char readable, char identity_flag, std::string identity = "",
                   std::string path = "/d/x") {
    return u32(static_cast<std::uint32_t>(path.size())) + path + u64(4096) + u64(1) +
           std::string(1, time_flag) + u64(77) + std::string(1, readable) +
           std::string(1, identity_flag) + identity;
}

TEST(CatalogRecord, ReadsWhatItWritesAndRefusesDamagedBytes) {
    TempDir tmp;
    CatalogFolder folder(tmp);
    const std::string identity = u64(9) + u64(0x1122) + u64(0x33) + u64(2) + u64(8192);
    struct Case {
        const char* what;
        std::string bytes;
        std::string error;  // empty: one record, then the clean end
    };
    const std::vector<Case> cases = {
        {"plain record", record(1, 1, 0), ""},
        {"record with identity", record(0, 0, 1, identity), ""},
        {"time flag 2", record(2, 1, 0), "Invalid catalog flag"},
        {"readable flag 2", record(1, 7, 0), "Invalid catalog flag"},
        {"identity flag 2", record(1, 1, 2), "Invalid catalog flag"},
        {"path not UTF-8", record(1, 1, 0, "", "/d/\xff"), "Invalid catalog UTF-8"},
        {"path too long", u32(65537) + std::string(65537, 'x'), "Catalog text exceeds capacity"},
        {"ends in the length", std::string("\x04\0", 2), "failed to fill whole buffer"},
        {"ends in the identity", record(1, 1, 1, identity.substr(0, 39)),
         "failed to fill whole buffer"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = "case" + std::to_string(n++);
        const std::string path = tmp.write_file("catalog/" + name, c.bytes);
        ::chmod(path.c_str(), 0600);
        auto in = CatalogInput::open(folder.catalog->folder_fd(), name);
        ASSERT_TRUE(in.has_value()) << in.error();
        std::uint64_t consumed = 0;
        auto first = read_catalog_record(*in, consumed);
        if (!c.error.empty()) {
            ASSERT_FALSE(first.has_value());
            EXPECT_EQ(first.error(), c.error);
            continue;
        }
        ASSERT_TRUE(first.has_value()) << first.error();
        ASSERT_TRUE(first->has_value());
        const RetainedChild& r = **first;
        EXPECT_EQ(consumed, c.bytes.size());
        EXPECT_EQ(r.node.path, "/d/x");
        EXPECT_EQ(r.node.size, 4096);
        EXPECT_EQ(r.node.kind, NodeKind::File);
        EXPECT_EQ(r.node.state, NodeState::Normal);
        if (r.identity) {
            EXPECT_FALSE(r.node.modification_time.has_value());
            EXPECT_FALSE(r.node.is_readable);
            EXPECT_EQ(r.identity->device, 9u);
            EXPECT_EQ(r.identity->inode, (static_cast<CatalogInode>(0x33) << 64) | 0x1122);
            EXPECT_EQ(r.identity->link_count, 2u);
            EXPECT_EQ(r.identity->allocated_size, 8192u);
        } else {
            EXPECT_EQ(r.node.modification_time, 77);
            EXPECT_TRUE(r.node.is_readable);
        }
        auto end = read_catalog_record(*in, consumed);
        ASSERT_TRUE(end.has_value());
        EXPECT_FALSE(end->has_value());
    }
}

TEST(CatalogRecord, ValidationComparesTheParentByComponents) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"/d/x", true},   {"/d//x", true},
        {"/d/./x", true}, {"//d/x/", true},
        {"/d", false},    {"/d/sub/x", false},
        {"/dd/x", false}, {"/", false},
        {"d/x", false},   {std::string("/d/x\0y", 6), false},
    };
    for (const auto& [path, ok] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(validate_catalog_record(file_node(path, 1), "/d").has_value(), ok);
    }
    EXPECT_TRUE(validate_catalog_record(file_node("/x", 1), "/").has_value());
    TreeNode directory = file_node("/d/x", 1);
    directory.kind = NodeKind::Directory;
    EXPECT_FALSE(validate_catalog_record(directory, "/d").has_value());
}

// A catalog on a file system that fills up: the system's text, the scan cancelled.
TEST(CatalogErrors, AFullFileSystemIsRecorded) {
    TempDir tmp;
    const std::string mount_point = tmp.make_dir("small");
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
            return 77;
        }
        auto catalog = open_scan_catalog(mount_point, make_cancel_flag());
        if (!catalog) return 2;
        ChildRetainer retainer(KeepLargest{0, 0}, "/d", *catalog);
        NodeList children;
        for (int i = 0; i < 200; ++i) {
            retain_or_spill_child(retainer, file_node(padded_path("/d", i, kBudgetPath), i), {},
                                  children);
        }
        finish_directory_catalog(std::move(retainer), children);
        if ((*catalog)->first_error() !=
            std::string(kErrorPrefix) + "No space left on device (os error 28)") {
            return 3;
        }
        if (!(*catalog)->cancel()->load()) return 4;
        if (children.back().state != NodeState::Incomplete) return 5;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::scan
