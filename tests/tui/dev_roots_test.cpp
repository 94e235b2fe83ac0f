#include "src/tui/dev_roots.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "src/tui/dev_search.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/dev_candidates.hpp"

namespace bramvelt::tui {
namespace {

// Two folders that the tree shows alike, as "bad��name": one whose name has two bytes
// that are not UTF-8, one named with the two U+FFFD themselves.
constexpr std::string_view kBytes = "bad\xff\xfename";
constexpr std::string_view kText = "bad\uFFFD\uFFFDname";

struct Tree {
    testing::TempDir tmp;
    Tree() {
        tmp.make_dir(std::string("twins/") + std::string(kBytes) + "/sub");
        tmp.make_dir(std::string("twins/") + std::string(kText) + "/sub");
        tmp.make_dir(std::string("alone/") + std::string(kText) + "/sub");
        tmp.make_dir("plain/a/b");
    }
    std::string operator/(std::string_view relative) const { return tmp / relative; }
};

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (std::string_view p : parts) out += p;
    return out;
}

TEST(DevRoots, ShownFolderBytes) {
    const Tree t;
    const std::string twins = t / "twins";
    const std::string bad_root = t / cat({"twins/", kBytes});
    const std::string bad_root_text = t / cat({"twins/", kText});
    struct Case {
        std::string root, root_text, shown, bytes;
    };
    const std::vector<Case> cases{
        // Names without U+FFFD are their own bytes; nothing is listed for them.
        {t / "plain", t / "plain", t / "plain/a/b", t / "plain/a/b"},
        {t / "plain/", t / "plain", t / "plain/a", t / "plain/a"},
        // Beside a folder whose name is not UTF-8 and reads the same, that one is taken,
        // whichever of the two was shown, and what lies below it follows as shown.
        {twins, twins, t / cat({"twins/", kText}), bad_root},
        {twins, twins, t / cat({"twins/", kText, "/sub"}), bad_root + "/sub"},
        // With no such name beside it, the text is the folder's own name.
        {t / "alone", t / "alone", t / cat({"alone/", kText, "/sub"}),
         t / cat({"alone/", kText, "/sub"})},
        // Below a scanned folder whose own name is not UTF-8: its bytes, then the rest.
        {bad_root, bad_root_text, bad_root_text, bad_root},
        {bad_root, bad_root_text, bad_root_text + "/sub", bad_root + "/sub"},
        // A text that is not below the scanned folder is looked at name by name from "/".
        {t / "plain", t / "plain", t / cat({"twins/", kText}), bad_root},
    };
    for (const Case& c : cases) {
        const auto bytes = shown_folder_bytes(c.root, c.root_text, c.shown);
        ASSERT_TRUE(bytes.has_value()) << c.shown << ": " << bytes.error();
        EXPECT_EQ(*bytes, c.bytes) << c.shown;
    }

    // A folder that cannot be listed cannot tell which name is shown.
    const auto missing = shown_folder_bytes(twins, twins, t / cat({"twins/gone/", kText}));
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), t / "twins/gone" + ": No such file or directory (os error 2)");
}

// Every road of typed folders keeps the bytes of a folder that is not UTF-8: the real
// path a link leads to, or a path that is not UTF-8 itself, found or not.
TEST(DevRoots, ResolveSearchFolders) {
    const Tree t;
    const std::string bad = t / cat({"twins/", kBytes});
    ASSERT_EQ(::symlink(bad.c_str(), (t / "link").c_str()), 0);
    struct Case {
        std::vector<std::string> folders;
        std::vector<std::string> roots;
    };
    const std::vector<Case> cases{
        {{}, {"/"}},
        {{t / "plain/a/"}, {t / "plain/a"}},
        {{t / "link"}, {bad}},
        {{t / "link/sub"}, {bad + "/sub"}},
        {{t / "plain", bad}, {t / "plain", bad}},
        {{t / cat({"twins/", kBytes, "/missing"})}, {t / cat({"twins/", kBytes, "/missing"})}},
        {{t / cat({"twins/", kText})}, {t / cat({"twins/", kText})}},
    };
    for (const Case& c : cases) {
        const auto roots = resolve_search_folders(c.folders);
        ASSERT_TRUE(roots.has_value()) << roots.error();
        EXPECT_EQ(*roots, c.roots);
    }
    const auto missing = resolve_search_folders(std::vector<std::string>{t / "missing"});
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), t / "missing" + ": No such file or directory (os error 2)");
}

// A search asked of a folder that is not UTF-8 starts no thread: the view lists nothing,
// its roots are the refused folders and the header's error says why.
TEST(DevRoots, SearchStartRefusesFoldersThatAreNotUtf8) {
    auto [sender, receiver] = make_channel<UiMessage>();
    int threads = 0;
    const ThreadStarter counting = [&threads](std::function<void()>) {
        ++threads;
        return WorkerThread::start([] {});
    };
    DevView view;
    view.roots = {"/w"};
    start_dev_search(view, sender, counting);
    ASSERT_EQ(threads, 1);
    const CancelFlag earlier = *view.search_cancel;
    view.candidates = {test_candidates::candidate("/w/a", 300)};

    const std::string bad = cat({"/w/", kBytes});
    view.roots = {"/w", bad};
    start_dev_search(view, sender, counting);
    EXPECT_EQ(threads, 1);
    EXPECT_TRUE(is_cancelled(earlier));
    EXPECT_EQ(view.search_generation, 2u);
    EXPECT_FALSE(view.scanning);
    EXPECT_TRUE(view.searched);
    EXPECT_TRUE(view.candidates.empty());
    EXPECT_FALSE(view.summary.has_value());
    EXPECT_EQ(view.roots, std::vector<std::string>{bad});
    EXPECT_EQ(view.error, std::string(kFoldersNotUtf8));

    // Searching again (r, v, a finished cleanup) refuses them the same way.
    start_dev_search(view, sender, counting);
    EXPECT_EQ(threads, 1);
    EXPECT_EQ(view.error, std::string(kFoldersNotUtf8));
}

}  // namespace
}  // namespace bramvelt::tui
