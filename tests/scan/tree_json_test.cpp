#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

std::string json_of(const TreeNode& node) {
    platform::StringWriter out;
    EXPECT_TRUE(write_tree_json(out, node));
    return out.text();
}

TreeNode node(std::string path, NodeKind kind = NodeKind::File) {
    TreeNode n;
    n.path = std::move(path);
    n.kind = kind;
    return n;
}

TEST(TreeJson, GoldenTwoLevelTree) {
    TreeNode root = node("/r", NodeKind::Directory);
    root.size = 12288;
    root.file_count = 1;
    root.modification_time = 951'782'400;
    TreeNode file = node("/r/a.txt");
    file.size = 8192;
    file.file_count = 1;
    file.modification_time = 0;
    root.children.push_back(file);
    TreeNode mount = node("/r/m", NodeKind::Directory);
    mount.state = NodeState::MountPoint;
    mount.is_readable = false;
    root.children.push_back(mount);
    EXPECT_EQ(json_of(root),
              R"({"path":"/r","name":"r","kind":"directory","size":12288,"fileCount":1,)"
              R"("modificationDate":"2000-02-29T00:00:00Z","isReadable":true,"isScanning":false,)"
              R"("children":[{"path":"/r/a.txt","name":"a.txt","kind":"file","size":8192,)"
              R"("fileCount":1,"modificationDate":"1970-01-01T00:00:00Z","isReadable":true,)"
              R"("isScanning":false,"children":[]},{"path":"/r/m","name":"m","kind":"directory",)"
              R"("size":0,"fileCount":0,"modificationDate":null,"isReadable":false,)"
              R"("isScanning":false,"isMountPoint":true,"isIncomplete":true,"children":[]}]})");
}

TEST(TreeJson, StateFlags) {
    const struct {
        NodeState state;
        bool readable;
        const char* flags;
    } cases[] = {
        {NodeState::Normal, true, R"("isScanning":false,"children")"},
        {NodeState::Scanning, true, R"("isScanning":true,"children")"},
        {NodeState::Incomplete, false, R"("isScanning":false,"isIncomplete":true,"children")"},
        {NodeState::CloudPlaceholder, true,
         R"("isScanning":false,"isCloudPlaceholder":true,"children")"},
        {NodeState::DirectoryAlias, true,
         R"("isScanning":false,"isDirectoryAlias":true,"children")"},
        {NodeState::PolicyExcluded, false,
         R"("isScanning":false,"isIncomplete":true,"isPolicyExcluded":true,"children")"},
    };
    for (const auto& c : cases) {
        TreeNode n = node("/x");
        n.state = c.state;
        n.is_readable = c.readable;
        EXPECT_NE(json_of(n).find(c.flags), std::string::npos) << json_of(n);
    }
}

TEST(TreeJson, SmallFilesAggregate) {
    TreeNode n = node("bramvelt-small-files:///data/logs");
    n.state = NodeState::SmallFilesAggregate;
    EXPECT_NE(json_of(n).find(R"("name":"Smaller files")"), std::string::npos);
    EXPECT_NE(json_of(n).find(
                  R"("isSmallFilesAggregate":true,"aggregateDirectory":"/data/logs","children")"),
              std::string::npos);
    n.path = "bramvelt-small-files://";
    EXPECT_NE(json_of(n).find(R"("aggregateDirectory":"")"), std::string::npos);
    n.path = "/no/prefix";
    EXPECT_EQ(json_of(n).find("aggregateDirectory"), std::string::npos);
}

TEST(TreeJson, NamesFollowTheDisplayRule) {
    EXPECT_NE(json_of(node("/")).find(R"("path":"/","name":"/")"), std::string::npos);
    EXPECT_NE(json_of(node("/a/")).find(R"("name":"/a/")"), std::string::npos);
    EXPECT_NE(json_of(node("rel")).find(R"("name":"rel")"), std::string::npos);
}

TEST(TreeJson, NamesAreEscapedLikePaths) {
    // A path with exactly one character to escape once let its name through unescaped.
    const struct {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/r/a\"b", R"("path":"/r/a\"b","name":"a\"b")"},
        {"/r/tab\t", R"("path":"/r/tab\t","name":"tab\t")"},
        {"/r/lf\n", R"("path":"/r/lf\n","name":"lf\n")"},
        {"/r/\\", R"("path":"/r/\\","name":"\\")"},
        {"/r/\x01", R"("path":"/r/\u0001","name":"\u0001")"},
        {"/a\"/b", R"("path":"/a\"/b","name":"b")"},
        {"/r/q\"q\"", R"("path":"/r/q\"q\"","name":"q\"q\"")"},
    };
    for (const auto& c : cases) {
        const std::string json = json_of(node(c.path));
        EXPECT_NE(json.find(c.expected), std::string::npos) << json;
    }
}

TEST(TreeJson, ChildrenEscapedWhateverTheirParentsPathHolds) {
    // A child's path usually begins with its parent's; escapes in either part, and a child
    // whose path does not begin so, are all written in full.
    TreeNode root = node("/r\"q" + std::string(20, 'x'), NodeKind::Directory);
    root.children.push_back(node(std::string(root.path) + "/a\tb"));
    root.children.push_back(node(std::string(root.path) + "/plain"));
    TreeNode clean = node("/clean" + std::string(20, 'y'), NodeKind::Directory);
    clean.children.push_back(node(std::string(clean.path) + "/c\\d"));
    clean.children.push_back(node("/elsewhere/e\"f"));
    clean.children.push_back(node(std::string(clean.path.substr(0, 10)) + "\n"));
    root.children.push_back(clean);
    const std::string json = json_of(root);
    const std::string r = "/r\\\"q" + std::string(20, 'x');
    const std::string c = "/clean" + std::string(20, 'y');
    for (const std::string& expected :
         std::vector<std::string>{"\"path\":\"" + r + "/a\\tb\",\"name\":\"a\\tb\"",
                                  "\"path\":\"" + r + "/plain\",\"name\":\"plain\"",
                                  "\"path\":\"" + c + "/c\\\\d\",\"name\":\"c\\\\d\"",
                                  std::string("\"path\":\"/elsewhere/e\\\"f\",\"name\":\"e\\\"f\""),
                                  "\"path\":\"" + c.substr(0, 10) + "\\n\""}) {
        EXPECT_NE(json.find(expected), std::string::npos) << expected << "\n" << json;
    }
}

TEST(JsonEscape, EscapesOnlyWhatJsonNeeds) {
    EXPECT_EQ(json_quoted("q\"b\\t\tn\nr\r\x01\x1b\x7f\xC3\xA9"),
              "\"q\\\"b\\\\t\\tn\\nr\\r\\u0001\\u001b\x7f\xC3\xA9\"");
    // Long clean runs around one byte, so the block-wise skipping meets it at every
    // position; bytes at the edges of the escaped range stay as they are.
    const struct {
        char byte;
        std::string_view written;
    } bytes[] = {{'\x02', "\\u0002"}, {'\x1f', "\\u001f"}, {'"', "\\\""},    {'\\', "\\\\"},
                 {' ', " "},          {'\x7f', "\x7f"},    {'\x80', "\x80"}, {'\xff', "\xff"}};
    for (const auto& b : bytes) {
        for (std::size_t at = 0; at < 40; ++at) {
            std::string text(40, 'a');
            text[at] = b.byte;
            const std::string expected = "\"" + std::string(at, 'a') + std::string(b.written) +
                                         std::string(39 - at, 'a') + "\"";
            EXPECT_EQ(json_quoted(text), expected) << at;
        }
    }
    EXPECT_EQ(json_quoted(""), "\"\"");
}

TEST(TreeJson, AppendingGivesTheWritersBytes) {
    TreeNode root = node("/r/" + std::string(30, 'd'), NodeKind::Directory);
    root.modification_time = 1'700'000'000;
    for (int i = 0; i < 3000; ++i) {
        TreeNode child =
            node(std::string(root.path) + "/f" + std::to_string(i) + (i % 7 == 0 ? "\"q" : ""));
        child.size = i * 512;
        child.file_count = 1;
        child.modification_time = 1'700'000'000 + i / 10;
        child.state = i % 5 == 0 ? NodeState::Incomplete : NodeState::Normal;
        root.children.push_back(std::move(child));
    }
    TreeNode aggregate = node(std::string(kSmallFilesPrefix) + "/r/x\ty");
    aggregate.state = NodeState::SmallFilesAggregate;
    root.children.push_back(aggregate);
    TreeString appended = "prefix";
    append_tree_json(appended, root);
    EXPECT_EQ(std::string_view(appended), "prefix" + json_of(root));
}

TEST(Iso8601, ConvertsCivilDates) {
    EXPECT_EQ(format_iso8601_utc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(format_iso8601_utc(951'782'400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(format_iso8601_utc(1'700'000'000), "2023-11-14T22:13:20Z");
    EXPECT_EQ(format_iso8601_utc(253'402'300'800ULL), "10000-01-01T00:00:00Z");
    EXPECT_EQ(format_iso8601_utc(253'402'300'799ULL), "9999-12-31T23:59:59Z");
    const std::string largest = format_iso8601_utc(9'223'372'036'854'775'807ULL);
    EXPECT_EQ(largest.find('-'), 12u) << largest;
    EXPECT_EQ(format_iso8601_utc(1ULL << 63), "1970-01-01T00:00:00Z");
}

// Fails every write after the first `allowed` ones.
class LimitedWriter final : public platform::Writer {
  public:
    explicit LimitedWriter(int allowed) : allowed_(allowed) {}
    bool write(std::string_view) override { return allowed_-- > 0; }
    bool flush() override { return true; }

  private:
    int allowed_;
};

TEST(TreeJson, ReportsTheSinksFailure) {
    TreeNode root = node("/r", NodeKind::Directory);
    for (int i = 0; i < 3000; ++i) root.children.push_back(node("/r/" + std::string(40, 'x')));
    LimitedWriter never(0);
    EXPECT_FALSE(write_tree_json(never, root));
    LimitedWriter once(1);
    EXPECT_FALSE(write_tree_json(once, root));
}

}  // namespace
}  // namespace bramvelt::scan
