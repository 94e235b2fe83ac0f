#include "src/cli/dev_options.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace bramvelt::cli {
namespace {

using Args = std::vector<std::string>;

DevCommandOptions parse_ok(const Args& args, DevVerb verb = DevVerb::Dev) {
    auto parsed = parse_dev_options(args, verb);
    EXPECT_TRUE(parsed.has_value()) << (parsed ? "" : parsed.error());
    return parsed ? *parsed : DevCommandOptions{};
}

TEST(DevOptions, DefaultsDifferOnlyInCleanCategories) {
    const auto dev = parse_ok({"dev"});
    EXPECT_FALSE(dev.top);
    EXPECT_TRUE(dev.folders.empty());
    EXPECT_TRUE(dev.categories.empty());
    EXPECT_EQ(dev.sort, DevSortOrder::Largest);
    EXPECT_EQ(dev.action, CleanAction::Unset);
    EXPECT_EQ(dev.older_than_days, 0u);
    EXPECT_EQ(dev.min_size, 0u);

    const auto clean = parse_ok({"clean"}, DevVerb::Clean);
    EXPECT_EQ(clean.categories, std::vector<DevCategory>{DevCategory::Rebuildable});
}

TEST(DevOptions, FoldersFlagsAndValues) {
    const auto o =
        parse_ok({"dev", "a", "", "-", "--json", "--top=+7", "--sort", "oldest", "--verify-remotes",
                  "-i", "--kind", "build, cache\u3000", "--kind=temporary", "--category",
                  "keep,worktrees", "--", "--json", "-x"});
    EXPECT_EQ(o.folders, (Args{"a", "", "-", "--json", "-x"}));
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.verify_remotes);
    EXPECT_TRUE(o.interactive);
    EXPECT_EQ(o.top, 7u);
    EXPECT_EQ(o.sort, DevSortOrder::Oldest);
    EXPECT_EQ(o.kinds, (std::vector<development::CandidateKind>{
                           development::CandidateKind::Build, development::CandidateKind::Cache,
                           development::CandidateKind::Temporary}));
    EXPECT_EQ(o.categories, (std::vector<DevCategory>{DevCategory::Keep, DevCategory::Worktree}));
}

TEST(DevOptions, RepeatsAppendListsAndLastValueWins) {
    const auto o = parse_ok({"dev", "--category", "all", "--category", "rebuild", "--top", "3",
                             "--top", "0", "--sort", "size", "--sort=accessed"});
    EXPECT_EQ(o.categories,
              (std::vector<DevCategory>{DevCategory::Rebuildable, DevCategory::Worktree,
                                        DevCategory::Keep, DevCategory::Rebuildable}));
    EXPECT_EQ(o.top, 0u);
    EXPECT_EQ(o.sort, DevSortOrder::Access);

    const auto c =
        parse_ok({"clean", "--category", "all", "-y", "--accept-caution", "--delete", "--delete"},
                 DevVerb::Clean);
    EXPECT_EQ(c.categories,
              (std::vector<DevCategory>{DevCategory::Rebuildable, DevCategory::Worktree}));
    EXPECT_TRUE(c.yes);
    EXPECT_TRUE(c.accept_caution);
    EXPECT_EQ(c.action, CleanAction::Delete);
    EXPECT_EQ(parse_ok({"clean", "--trash"}, DevVerb::Clean).action, CleanAction::Trash);
}

TEST(DevOptions, AgesAndSizes) {
    struct AgeCase {
        std::string value;
        std::uint64_t days;
    };
    for (const auto& c : std::vector<AgeCase>{{"6MO", 180},
                                              {"2m", 60},
                                              {"1y", 365},
                                              {"30", 30},
                                              {"8w", 56},
                                              {" 30d ", 30},
                                              {"0", 0},
                                              {"18446744073709551615", UINT64_MAX}}) {
        EXPECT_EQ(parse_ok({"dev", "--older-than", c.value}).older_than_days, c.days) << c.value;
    }
    struct SizeCase {
        std::string value;
        std::uint64_t bytes;
    };
    for (const auto& c : std::vector<SizeCase>{{"1.5G", 1'610'612'736},
                                               {"500", 500},
                                               {"500 M", 524'288'000},
                                               {" 1kib ", 1024},
                                               {"1.", 1},
                                               {".5k", 512},
                                               {"2TB", 2'199'023'255'552},
                                               {"0.9b", 0},
                                               {"99999999999t", UINT64_MAX}}) {
        EXPECT_EQ(parse_ok({"dev", "--min-size", c.value}).min_size, c.bytes) << c.value;
    }
}

TEST(DevOptions, ErrorTexts) {
    struct ErrorCase {
        Args args;
        DevVerb verb;
        std::string message;
    };
    const std::string age = "--older-than takes an age such as 30d, 8w, 6mo or 1y";
    const std::string size = "--min-size takes a size such as 500M or 1G";
    const std::string top = "--top requires a nonnegative integer";
    const std::vector<ErrorCase> cases = {
        {{"dev", "--top"}, DevVerb::Dev, "--top requires a value"},
        {{"dev", "--sort"}, DevVerb::Dev, "--sort requires a value"},
        {{"dev", "--top=-1"}, DevVerb::Dev, top},
        {{"dev", "--top="}, DevVerb::Dev, top},
        {{"dev", "--top", "+"}, DevVerb::Dev, top},
        {{"dev", "--top", "18446744073709551616"}, DevVerb::Dev, top},
        {{"dev", "--top", "1 "}, DevVerb::Dev, top},
        {{"dev", "--json=1"}, DevVerb::Dev, "unknown dev option: --json=1"},
        {{"dev", "--yes"}, DevVerb::Dev, "unknown dev option: --yes"},
        {{"dev", "-x"}, DevVerb::Dev, "unknown dev option: -x"},
        {{"dev", "-i=1"}, DevVerb::Dev, "unknown dev option: -i=1"},
        {{"clean", "-i"}, DevVerb::Clean, "unknown clean option: -i"},
        {{"clean", "--category", "keep"},
         DevVerb::Clean,
         "--category must be rebuildable, worktree or all, not keep"},
        {{"dev", "--category", "Keep"},
         DevVerb::Dev,
         "--category must be rebuildable, worktree, keep or all, not Keep"},
        {{"dev", "--category", "keep,"},
         DevVerb::Dev,
         "--category must be rebuildable, worktree, keep or all, not "},
        {{"dev", "--kind", "build,"},
         DevVerb::Dev,
         "--kind must be build, cache, dependencies, worktree, repository or temporary, not "},
        {{"dev", "--kind", "--"},
         DevVerb::Dev,
         "--kind must be build, cache, dependencies, worktree, repository or temporary, not --"},
        {{"dev", "--sort", " oldest"},
         DevVerb::Dev,
         "--sort must be largest, oldest or access, not  oldest"},
        {{"dev", "--older-than", "30 d"}, DevVerb::Dev, age},
        {{"dev", "--older-than", "d"}, DevVerb::Dev, age},
        {{"dev", "--older-than", "1x"}, DevVerb::Dev, age},
        {{"dev", "--older-than", "18446744073709551615w"}, DevVerb::Dev, age},
        {{"dev", "--older-than", "18446744073709551616"}, DevVerb::Dev, age},
        {{"dev", "--min-size", "1e3"}, DevVerb::Dev, size},
        {{"dev", "--min-size", "1.2.3"}, DevVerb::Dev, size},
        {{"dev", "--min-size", "."}, DevVerb::Dev, size},
        {{"dev", "--min-size", "-5M"}, DevVerb::Dev, size},
        {{"dev", "--min-size", "5 X"}, DevVerb::Dev, size},
        {{"clean", "--delete", "--trash"}, DevVerb::Clean, "choose --trash or --delete once"},
        // The first error ends the parse.
        {{"dev", "--top", "x", "--sort", "y"}, DevVerb::Dev, top},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_dev_options(c.args, c.verb);
        ASSERT_FALSE(parsed.has_value()) << c.args.back();
        EXPECT_EQ(parsed.error(), c.message);
    }
}

TEST(DevOptions, AtMostThirtyTwoFoldersCountingThoseAfterTheSeparator) {
    Args args{"dev"};
    for (int i = 0; i < 31; ++i) args.push_back("f" + std::to_string(i));
    args.push_back("--");
    args.push_back("-last");
    EXPECT_EQ(parse_ok(args).folders.size(), 32u);
    args.push_back("extra");
    const auto parsed = parse_dev_options(args, DevVerb::Dev);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), "choose at most 32 folders");
}

}  // namespace
}  // namespace bramvelt::cli
