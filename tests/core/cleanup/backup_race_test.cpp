// An attacker swaps a folder on the way to an item, or the item itself, for a link to an
// outside tree of the same shape, or renames an outside file over the item's name or
// trades names with it back and forth, once the plan is authorized, round after round
// while backups and overwrites run: nothing outside the item is read into a backup,
// overwritten or removed.

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "cleanup_fixture.hpp"
#include "support/race.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSecret = "SECRET";

enum class Attack { SwapInner, SwapItem, SwapParent, RenameOverItem, ExchangeWithItem };
constexpr int kAttacks = 5;

class BackupRaceTest : public CleanupTest {
  protected:
    BackupRaceTest() {
        for (int i = 0; i < 4; ++i) {
            tmp_.write_file("outside/item/a/sub/f" + std::to_string(i), std::string(kSecret));
        }
        tmp_.write_file("outside/item/h", std::string(kSecret));
        tmp_.write_file("outside/keep", std::string(kSecret));
        outside_before_ = tree_listing(outside_);
    }

    // Swaps `path` for a link to `target`, then puts it back; false when `path` was not
    // there to swap.
    static bool swap_briefly(const std::string& path, const std::string& target,
                             std::minstd_rand& random) {
        const std::string aside = path + ".aside";
        if (::rename(path.c_str(), aside.c_str()) != 0) return false;
        if (::symlink(target.c_str(), path.c_str()) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 500));
            ::unlink(path.c_str());
        }
        ::rename(aside.c_str(), path.c_str());
        return true;
    }

    // A folder item for the swaps, a file large enough to take a while for the rename.
    void make_item(Attack attack) {
        std::error_code ignored;
        fs::remove_all(at("p"), ignored);  // a link left there goes, never what it points to
        if (attack == Attack::RenameOverItem || attack == Attack::ExchangeWithItem) {
            tmp_.write_file("work/p/item", std::string(64 * 1024, 'i'));
            tmp_.write_file("decoy", std::string(kSecret) + " decoy");
            return;
        }
        for (int i = 0; i < 4; ++i) {
            tmp_.write_file("work/p/item/a/sub/f" + std::to_string(i), "inside");
        }
        tmp_.write_file("work/p/item/h", "inside");
    }

    // Runs plans of `action` on p/item under attack until enough attacks landed while a
    // plan ran, or the budget is spent; after each round `check` sees whether the decoy
    // was renamed over the item.
    template <class Check>
    void race(const CleanupAction& action, Check check) {
        std::atomic<bool> stop{false};
        std::atomic<int> armed{0};
        std::atomic<int> done{0};
        std::atomic<Attack> attack{Attack::SwapInner};
        std::atomic<bool> renamed{false};
        std::atomic<bool> running{false};
        std::atomic<int> landed{0};
        std::thread attacker([&] {
            std::minstd_rand random(11);
            while (!stop.load()) {
                if (done.load() == armed.load()) {
                    std::this_thread::yield();
                    continue;
                }
                // Mostly at once, where a step's re-check meets the next step's read.
                const auto delay = random() % 3 == 0 ? random() % 3000 : random() % 100;
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
                bool hit = false;
                switch (attack.load()) {
                    case Attack::SwapInner:
                        hit = swap_briefly(at("p/item/a/sub"), outside_ + "/item/a/sub", random);
                        break;
                    case Attack::SwapItem:
                        hit = swap_briefly(at("p/item"), outside_ + "/item", random);
                        break;
                    case Attack::SwapParent:
                        hit = swap_briefly(at("p"), outside_, random);
                        break;
                    case Attack::RenameOverItem:
                        hit = ::rename((tmp_ / "decoy").c_str(), at("p/item").c_str()) == 0;
                        renamed.store(hit);
                        break;
                    case Attack::ExchangeWithItem:
                        hit = exchange_for_a_while(random);
                        break;
                }
                if (hit && running.load()) landed.fetch_add(1);
                done.fetch_add(1);
            }
        });

        // A contest: an attack landed while the plan still ran.
        testing::RaceRounds race(500, 3000, std::chrono::seconds(30));
        while (race.more()) {
            const Attack kind = static_cast<Attack>(race.rounds() % kAttacks);
            make_item(kind);
            attack.store(kind);
            renamed.store(false);
            const int landed_before = landed.load();
            running.store(true);
            run(plan_of({"p/item"}, action), [&](const CleanupEvent& event) {
                if (std::holds_alternative<PlanStarted>(event)) armed.fetch_add(1);
            });
            running.store(false);
            while (done.load() != armed.load()) std::this_thread::yield();
            check(renamed.load());
            if (kind == Attack::ExchangeWithItem) expect_decoy_under_either_name();
            race.count(landed.load() != landed_before);
            if (race.rounds() % 100 == 0 &&
                (::testing::Test::HasFailure() || tree_listing(outside_) != outside_before_)) {
                break;
            }
        }
        stop.store(true);
        attacker.join();
        EXPECT_EQ(tree_listing(outside_), outside_before_);
        testing::conclude(race);
    }

    // Trades the item's name with the decoy's, back and forth, at varied pace, until the
    // item is gone or a few milliseconds have passed; false when no trade happened.
    bool exchange_for_a_while(std::minstd_rand& random) const {
        const std::string decoy = tmp_ / "decoy";
        const std::string item = at("p/item");
        const auto until =
            std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 20000);
        bool traded = false;
        while (std::chrono::steady_clock::now() < until) {
            if (::renameat2(AT_FDCWD, decoy.c_str(), AT_FDCWD, item.c_str(), RENAME_EXCHANGE) !=
                0) {
                return traded;
            }
            traded = true;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
        }
        return traded;
    }

    // The decoy, traded back and forth, ends under one of the two names, whole.
    void expect_decoy_under_either_name() const {
        const std::string whole = std::string(kSecret) + " decoy";
        EXPECT_TRUE(read_text(tmp_ / "decoy") == whole || read_text(at("p/item")) == whole);
    }

    // A decoy renamed over the item is still there, whole.
    void expect_decoy_kept(bool renamed) const {
        if (renamed) {
            EXPECT_EQ(read_text(at("p/item")), std::string(kSecret) + " decoy");
        }
    }

    const std::string outside_ = tmp_ / "outside";
    std::vector<std::string> outside_before_;
};

TEST_F(BackupRaceTest, ABackupNeverCopiesOrRemovesWhatLiesOutsideTheItem) {
    const std::string backups = tmp_.make_dir("backups");
    race(CleanupAction::backup_to_folder(backups),
         [&](bool renamed) { expect_decoy_kept(renamed); });
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(backups, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file() && !it->is_symlink()) {
            EXPECT_EQ(read_text(it->path().string()).find(kSecret), std::string::npos)
                << it->path();
        }
    }
}

TEST_F(BackupRaceTest, AnOverwriteNeverWritesOrRemovesWhatLiesOutsideTheItem) {
    race(CleanupAction::overwrite(), [&](bool renamed) { expect_decoy_kept(renamed); });
}

}  // namespace
}  // namespace bramvelt::cleanup
