#include "src/cli/cleanup_totals.hpp"

#include <gtest/gtest.h>

namespace bramvelt::cli {
namespace {

TEST(CleanupTotals, RemovedBytesNameTheTrashAndWhatWentForGood) {
    constexpr std::uint64_t kKiB = 1'024;
    struct Case {
        CleanAction action;
        std::uint64_t processed;
        std::uint64_t trashed;
        std::string text;
        bool remind;
    } cases[] = {
        // Nothing removed for good: the run's own verb for all of it.
        {CleanAction::Trash, 3 * kKiB, 3 * kKiB, "3.0 KiB moved to Trash", true},
        {CleanAction::Trash, 0, 0, "0 B moved to Trash", false},
        {CleanAction::Delete, 0, 0, "0 B freed", false},
        // Worktree folders went for good, their generated output to the Trash.
        {CleanAction::Trash, 5 * kKiB, 3 * kKiB, "3.0 KiB moved to Trash · 2.0 KiB freed", true},
        {CleanAction::Trash, 2 * kKiB, 0, "2.0 KiB freed", false},
        {CleanAction::Delete, 2 * kKiB, 0, "2.0 KiB freed", false},
        // A Trash part beyond the whole (saturated sums) never makes a negative rest.
        {CleanAction::Trash, 2 * kKiB, 9 * kKiB, "2.0 KiB moved to Trash", true},
    };
    for (const auto& c : cases) {
        const RemovedBytesText got = removed_bytes_text(c.action, c.processed, c.trashed);
        EXPECT_EQ(got.text, c.text) << c.processed << " " << c.trashed;
        EXPECT_EQ(got.remind_to_empty_trash, c.remind) << c.text;
    }
}

}  // namespace
}  // namespace bramvelt::cli
