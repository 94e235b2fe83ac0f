#include "src/cli/cleanup_review.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/filesystem/identity.hpp"
#include "core/policy/classification.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

namespace fs = std::filesystem;
using development::CandidateKind;
using development::DevCandidate;
using development::DirtyState;
using development::GitDetail;
using development::Recommendation;

DevCandidate find(std::string path, CandidateKind kind = CandidateKind::Build,
                  std::uint64_t bytes = 1'000) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = kind;
    c.tool = "Cargo";
    c.recommendation = Recommendation::Regenerable;
    c.allocated_bytes = bytes;
    c.measurement_complete = true;
    return c;
}

DevCandidate clean_worktree(std::string path, std::uint64_t bytes) {
    DevCandidate c = find(std::move(path), CandidateKind::Worktree, bytes);
    c.recommendation = Recommendation::ReviewRemoval;
    GitDetail g;
    g.repository = "/r";
    g.head = "0123abcd";
    g.dirty = DirtyState::No;
    g.merged_into = {"main"};
    c.git = g;
    return c;
}

std::vector<const DevCandidate*> refs(const std::vector<DevCandidate>& candidates) {
    std::vector<const DevCandidate*> out;
    for (const auto& c : candidates) out.push_back(&c);
    return out;
}

struct Review : ::testing::Test {
    testing::TempDir tmp;
    std::string home = tmp.make_dir("home");
    testing::ScopedEnv home_env{"HOME", home.c_str()};

    policy::PolicyContext context() const { return open_cleanup_service().value(); }
};

TEST_F(Review, ServiceContextNamesTheStateFolderAndNeedsHome) {
    const auto context = open_cleanup_service();
    ASSERT_TRUE(context.has_value()) << context.error();
    EXPECT_EQ(context->transport.kind, policy::PolicyTransport::Kind::Local);
    EXPECT_EQ(context->home, home);
    EXPECT_TRUE(context->volume_roots.empty());
    EXPECT_EQ(context->protected_paths,
              std::vector<std::string>{home + "/Library/Application Support/BramVelt"});
    EXPECT_EQ(context->host_os, policy::HostOs::MacOs);
    EXPECT_FALSE(fs::exists(home + "/Library"));  // named, never created

    for (const char* value : {static_cast<const char*>(nullptr), ""}) {
        testing::ScopedEnv unset("HOME", value);
        EXPECT_EQ(open_cleanup_service().error(),
                  "Cannot determine your home folder (HOME is unset)");
    }
}

TEST_F(Review, ItemsCarryIdentityIdsAndHeads) {
    const std::string app = tmp.make_dir("home/ws/app");
    tmp.make_dir("home/ws/app/dist");
    const std::string wt = tmp.make_dir("home/ws/wt");
    const std::string app_b = tmp.make_dir("home/ws/app-b");
    std::vector<DevCandidate> selected = {
        find(app_b, CandidateKind::Cache, 7),
        find(app + "/dist", CandidateKind::Build, 100),  // inside app: goes with it
        clean_worktree(wt, 50),
        find(app, CandidateKind::Dependencies, 1'000),
    };
    DevCandidate keep = find(tmp.make_dir("home/ws/keep"));
    keep.recommendation = Recommendation::Review;
    selected.push_back(keep);

    const auto review = build_cleanup_review(context(), refs(selected));
    ASSERT_TRUE(review.has_value()) << review.error();
    ASSERT_EQ(review->items.size(), 3u);
    // By path components: /ws/app before /ws/app-b.
    const std::vector<std::string> paths = {app, app_b, wt};
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const auto& item = review->items[i];
        EXPECT_EQ(item.item_id, "item-" + std::to_string(i));
        EXPECT_EQ(item.path, paths[i]);
        EXPECT_EQ(review->candidates[i].path, paths[i]);
        EXPECT_EQ(item.identity, filesystem::read_identity(paths[i]).value());
    }
    EXPECT_EQ(review->items[0].kind, CandidateKind::Dependencies);
    EXPECT_EQ(review->items[2].kind, CandidateKind::Worktree);
    EXPECT_EQ(review->items[2].head, std::optional<std::string>("0123abcd"));
    EXPECT_EQ(review->items[0].head, std::nullopt);
    EXPECT_EQ(review->total_bytes, 1'057u);  // the nested find counted once
    EXPECT_EQ(review->worktree_count, 1u);
    EXPECT_TRUE(review->warnings.empty());
}

TEST_F(Review, SaturatingTotal) {
    std::vector<DevCandidate> selected = {
        find(tmp.make_dir("home/a"), CandidateKind::Build, UINT64_MAX - 1),
        find(tmp.make_dir("home/b"), CandidateKind::Build, 5)};
    EXPECT_EQ(build_cleanup_review(context(), refs(selected))->total_bytes, UINT64_MAX);
}

TEST_F(Review, SelectionSizeLimits) {
    DevCandidate keep = find(tmp.make_dir("home/k"));
    keep.measurement_complete = false;
    std::vector<DevCandidate> only_keep = {keep};
    EXPECT_EQ(build_cleanup_review(context(), refs(only_keep)).error(),
              "Nothing selected can be cleaned up. Only rebuildable output and verified worktrees "
              "are removable.");
    EXPECT_EQ(build_cleanup_review(context(), {}).error(),
              "Nothing selected can be cleaned up. Only rebuildable output and verified worktrees "
              "are removable.");

    std::vector<DevCandidate> many;
    for (int i = 0; i < 257; ++i) many.push_back(find(tmp.make_dir("home/m/" + std::to_string(i))));
    EXPECT_EQ(build_cleanup_review(context(), refs(many)).error(),
              "Select up to 256 items at a time.");
    many.pop_back();
    const auto full = build_cleanup_review(context(), refs(many));
    ASSERT_TRUE(full.has_value()) << full.error();
    EXPECT_EQ(full->items.back().item_id, "item-255");
}

TEST_F(Review, RefusedLinkedOrMissingItemRejectsTheWholeSelection) {
    const std::string good = tmp.make_dir("home/ws/good");
    const std::string real = tmp.make_dir("home/ws/real");
    const std::string link = tmp / "home/ws/link";
    fs::create_directory_symlink(real, link);
    const std::string state = tmp.make_dir("home/Library/Application Support/BramVelt/cache");
    for (const std::string& bad :
         {link, tmp / "home/ws/gone", state, tmp.make_dir("home/ws/ctl\x01x") + "/../gone\n"}) {
        std::vector<DevCandidate> selected = {find(good), find(bad)};
        const auto review = build_cleanup_review(context(), refs(selected));
        ASSERT_FALSE(review.has_value()) << bad;
        std::string shown;
        for (char c : bad) {
            if (c == '\x01') {
                shown += "\\u{1}";
            } else if (c == '\n') {
                shown += "\\n";
            } else {
                shown += c;
            }
        }
        EXPECT_EQ(review.error(), shown +
                                      " is protected, missing or changed. Scan again before "
                                      "cleanup.");
    }
}

TEST_F(Review, HiddenItemsNeedAcknowledgementInReviewOrder) {
    const std::string next = tmp.make_dir("home/ws/site/.next");
    const std::string odd = tmp.make_dir("home/ws/z/.tab\there");
    const std::string plain = tmp.make_dir("home/ws/plain");
    std::vector<DevCandidate> selected = {find(odd), find(plain), find(next)};
    const auto review = build_cleanup_review(context(), refs(selected));
    ASSERT_TRUE(review.has_value()) << review.error();
    const std::string message(policy::kHiddenData);
    EXPECT_EQ(review->warnings,
              (std::vector<std::string>{next + ": " + message,
                                        tmp / "home/ws/z/.tab\\there: " + message}));
    EXPECT_EQ(review->items.size(), 3u);
}

}  // namespace
}  // namespace bramvelt::cli
