#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <set>
#include <string>

#include "platform/file_flags.hpp"
#include "scan/listing.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::scan {
namespace {

using platform::FollowFinalLink;
using testing::TempDir;

platform::EntryStatus status(const std::string& path) {
    auto st = platform::status_of_path(path, platform::FollowFinalLink::yes);
    EXPECT_TRUE(st) << path;
    return st.value_or(platform::EntryStatus{});
}

struct Listed {
    std::set<std::string> names;
    int read_errors = 0;
};

Listed drain(DirectoryListing& listing) {
    Listed out;
    for (;;) {
        auto result = listing.next_entry();
        if (std::holds_alternative<ListingEnd>(result)) return out;
        if (std::holds_alternative<ListingReadError>(result)) {
            ++out.read_errors;
            continue;
        }
        if (const auto* entry = std::get_if<ListedEntry>(&result)) out.names.emplace(entry->name);
    }
}

TEST(Listing, EmptyDirectoryEndsAfterOneBulkRead) {
    TempDir dir;
    const std::string empty = dir.make_dir("empty");
    ListingCounters counters;
    auto listing = open_directory(empty, status(empty), ListingMethod::bulk, FollowFinalLink::no,
                                  LinkEntries::skip, make_cancel_flag(), counters);
    ASSERT_TRUE(listing);
    EXPECT_TRUE(listing->is_bulk());
    EXPECT_TRUE(std::holds_alternative<ListingEnd>(listing->next_entry()));
    EXPECT_EQ(counters.bulk_batches.load(), 1u);
    EXPECT_EQ(counters.entry_lstat_calls.load(), 0u);
}

TEST(Listing, CountersTellWhichEntriesNeededALookup) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    dir.write_file("root/file", "abc");
    dir.make_dir("root/sub");
    ASSERT_EQ(::symlink("/", (root + "/link").c_str()), 0);
    for (const LinkEntries links : {LinkEntries::skip, LinkEntries::include}) {
        const bool skip_links = links == LinkEntries::skip;
        ListingCounters counters;
        auto listing = open_directory(root, status(root), ListingMethod::bulk, FollowFinalLink::no,
                                      links, make_cancel_flag(), counters);
        ASSERT_TRUE(listing);
        int links_with_facts = 0;
        int entries = 0;
        for (;;) {
            auto result = listing->next_entry();
            if (std::holds_alternative<ListingEnd>(result)) break;
            const auto& entry = std::get<ListedEntry>(result);
            ++entries;
            if (entry.is_symlink && entry.file_facts) ++links_with_facts;
            if (entry.name == "sub") {
                EXPECT_TRUE(entry.is_directory);
                EXPECT_TRUE(entry.listed_as_directory);
                EXPECT_FALSE(entry.file_facts);
            }
            if (entry.name == "file") {
                ASSERT_TRUE(entry.file_facts);
                EXPECT_EQ(entry.file_facts->link_count, 1u);
            }
        }
        EXPECT_EQ(entries, 3);
        EXPECT_EQ(links_with_facts, skip_links ? 0 : 1);
        EXPECT_EQ(counters.bulk_trusted_entries.load(), skip_links ? 1u : 0u);
        EXPECT_EQ(counters.bulk_lstat_entries.load(), skip_links ? 2u : 3u);
        EXPECT_EQ(counters.entry_lstat_calls.load(), counters.bulk_lstat_entries.load());
        EXPECT_EQ(counters.standard_fallbacks.load(), 0u);
    }
}

// A listing counts on its own and hands its counts over when it ends; one dropped
// before its end (a cancelled walk) still hands over what it did.
TEST(Listing, AListingDroppedEarlyStillCountsWhatItDid) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    for (const char* name : {"root/a", "root/b", "root/c"}) dir.write_file(name, "x");
    ListingCounters counters;
    {
        auto listing = open_directory(root, status(root), ListingMethod::bulk, FollowFinalLink::no,
                                      LinkEntries::include, make_cancel_flag(), counters);
        ASSERT_TRUE(listing);
        ASSERT_TRUE(std::holds_alternative<ListedEntry>(listing->next_entry()));
        ASSERT_TRUE(std::holds_alternative<ListedEntry>(listing->next_entry()));
    }
    EXPECT_EQ(counters.bulk_batches.load(), 1u);
    EXPECT_EQ(counters.bulk_lstat_entries.load(), 2u);
    EXPECT_EQ(counters.entry_lstat_calls.load(), 2u);
}

TEST(Listing, AReplacedDirectoryIsNotListed) {
    TempDir dir;
    const std::string path = dir.make_dir("target");
    dir.write_file("target/secret");
    const auto before = status(path);
    ASSERT_EQ(std::rename(path.c_str(), (dir / "moved").c_str()), 0);
    dir.make_dir("target");
    dir.write_file("target/other");
    ListingCounters counters;
    auto listing = open_directory(path, before, ListingMethod::bulk, FollowFinalLink::no,
                                  LinkEntries::skip, make_cancel_flag(), counters);
    ASSERT_FALSE(listing);
    EXPECT_TRUE(listing.error().identity_changed);
    EXPECT_EQ(listing.error().text(), "directory identity or availability changed before listing");
}

TEST(Listing, ALinkIsOpenedAsADirectoryOnlyAtTheRoot) {
    TempDir dir;
    const std::string real = dir.make_dir("real");
    dir.write_file("real/f");
    const std::string link = dir / "link";
    ASSERT_EQ(::symlink("real", link.c_str()), 0);
    ListingCounters counters;
    auto below = open_directory(link, status(link), ListingMethod::bulk, FollowFinalLink::no,
                                LinkEntries::skip, make_cancel_flag(), counters);
    EXPECT_FALSE(below);
    auto root = open_directory(link, status(link), ListingMethod::bulk, FollowFinalLink::yes,
                               LinkEntries::skip, make_cancel_flag(), counters);
    ASSERT_TRUE(root);
    EXPECT_FALSE(root->is_bulk());
    EXPECT_EQ(drain(*root).names, std::set<std::string>{"f"});
    EXPECT_EQ(counters.standard_fallbacks.load(), 1u);  // the refused link counts none
}

TEST(Listing, ADataLessDirectoryFailsTheIdentityCheck) {
    TempDir dir;
    const std::string path = dir.make_dir("cloud");
    auto expected = status(path);
    platform::EntryStatus observed = expected;
    EXPECT_TRUE(check_directory_identity(expected, observed));
    observed.flags = platform::kDatalessFlag;
    EXPECT_FALSE(check_directory_identity(expected, observed));
    observed = expected;
    observed.mode = S_IFREG | 0644;
    EXPECT_FALSE(check_directory_identity(expected, observed));
    observed = expected;
    observed.inode += 1;
    EXPECT_FALSE(check_directory_identity(expected, observed));
}

TEST(Listing, CancelEndsTheListing) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    dir.write_file("root/a");
    ListingCounters counters;
    CancelFlag cancel = make_cancel_flag();
    auto listing = open_directory(root, status(root), ListingMethod::bulk, FollowFinalLink::no,
                                  LinkEntries::skip, cancel, counters);
    ASSERT_TRUE(listing);
    cancel->store(true);
    EXPECT_TRUE(std::holds_alternative<ListingEnd>(listing->next_entry()));
}

TEST(Listing, ReadFailureIsReportedOnceThenEnds) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    dir.write_file("root/a");
    ListingCounters counters;
    platform::fail_later_directory_reads_for_testing(EIO);
    auto listing = open_directory(root, status(root), ListingMethod::bulk, FollowFinalLink::no,
                                  LinkEntries::skip, make_cancel_flag(), counters);
    ASSERT_TRUE(listing);
    const Listed listed = drain(*listing);
    platform::fail_later_directory_reads_for_testing(0);
    EXPECT_EQ(listed.names, std::set<std::string>{"a"});
    EXPECT_EQ(listed.read_errors, 1);
}

TEST(ModificationSeconds, DropsTimesBeforeTheEpoch) {
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    const struct {
        std::int64_t seconds;
        std::int64_t nanoseconds;
        std::optional<std::uint64_t> expected;
    } cases[] = {
        {0, 0, 0u},
        {1'700'000'000, 999'999'999, 1'700'000'000u},
        {0, -500'000'000, std::nullopt},  // 1969-12-31T23:59:59.5Z
        {-1, 500'000'000, std::nullopt},
        {0, 1'000'000'000, std::nullopt},  // invalid nanoseconds
        {5, -1, std::nullopt},             // only a time at or before the epoch is borrowed from
        {min, -1, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(modification_seconds(c.seconds, c.nanoseconds), c.expected)
            << c.seconds << " " << c.nanoseconds;
    }
}

TEST(AllocatedBytes, SaturatesAtTheLargestSignedValue) {
    EXPECT_EQ(allocated_bytes(0), 0u);
    EXPECT_EQ(allocated_bytes(8), 4096u);
    EXPECT_EQ(allocated_bytes((1ULL << 54) - 1), (1ULL << 63) - 512);
    EXPECT_EQ(allocated_bytes(1ULL << 54), (1ULL << 63) - 1);
    EXPECT_EQ(allocated_bytes(~0ULL), (1ULL << 63) - 1);
}

}  // namespace
}  // namespace bramvelt::scan
