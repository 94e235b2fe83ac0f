// An attacker thread swaps links for folders on the way to an item, inside it, and for the
// item itself while plans run, round after round: whatever each plan's result, nothing
// outside the item is ever touched.

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

class RemovalRaceTest : public CleanupTest {
  protected:
    // Swaps `path` for a link to `target`, then puts it back; false when `path` was not
    // there to swap.
    static bool swap_briefly(const std::string& path, const std::string& target) {
        const std::string aside = path + ".aside";
        if (::rename(path.c_str(), aside.c_str()) != 0) return false;
        if (::symlink(target.c_str(), path.c_str()) == 0) {
            std::this_thread::yield();
            ::unlink(path.c_str());
        }
        ::rename(aside.c_str(), path.c_str());
        return true;
    }

    void make_item() {
        for (int i = 0; i < 4; ++i) {
            tmp_.write_file("work/p/item/a/sub/f" + std::to_string(i), "inside");
        }
        tmp_.write_file("work/p/item/a/g", "inside");
        tmp_.write_file("work/p/item/h", "inside");
    }
};

TEST_F(RemovalRaceTest, SwappedLinksNeverLeadOutsideTheItem) {
    // The outside mirrors the item's shape, so a walk led astray would find work there.
    const std::string outside = tmp_ / "outside";
    for (int i = 0; i < 4; ++i) tmp_.write_file("outside/item/a/sub/f" + std::to_string(i), "out");
    tmp_.write_file("outside/item/h", "out");
    tmp_.write_file("outside/keep", "out");
    const auto before = tree_listing(outside);

    std::atomic<bool> stop{false};
    std::atomic<bool> attack{false};
    std::atomic<bool> busy{false};
    std::atomic<int> swaps{0};
    std::thread attacker([&] {
        std::minstd_rand random(7);
        while (!stop.load()) {
            if (!attack.load()) {
                std::this_thread::yield();
                continue;
            }
            busy.store(true);
            if (attack.load()) {
                // At a varied moment, one of the three swaps.
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 1000));
                bool swapped = false;
                switch (random() % 3) {
                    case 0:
                        swapped = swap_briefly(at("p/item/a/sub"), outside + "/item/a/sub");
                        break;
                    case 1:
                        swapped = swap_briefly(at("p/item"), outside + "/item");
                        break;
                    default:
                        swapped = swap_briefly(at("p"), outside);
                        break;
                }
                if (swapped && attack.load()) swaps.fetch_add(1);  // while the plan ran
            }
            busy.store(false);
        }
    });

    // A contest: a swap landed while the plan ran.
    testing::RaceRounds race(500, 3000, std::chrono::seconds(30));
    int removed = 0;
    while (race.more()) {
        const int rounds = race.rounds();
        const int swaps_before = swaps.load();
        std::error_code ec;
        fs::remove_all(at("p"), ec);  // a link left there goes, never what it points to
        make_item();
        // Every other round the attack starts once the item is authorized, on its removal.
        const bool after_validation = rounds % 2 == 0;
        attack.store(!after_validation);
        const auto events = run(plan_of({"p/item"}), [&](const CleanupEvent& event) {
            if (std::holds_alternative<PlanStarted>(event)) attack.store(true);
        });
        attack.store(false);
        while (busy.load()) std::this_thread::yield();
        const auto finished = events_of<ItemFinished>(events);
        if (finished.size() == 1 && finished[0].result.status == CleanupStatus::Removed) ++removed;
        race.count(swaps.load() != swaps_before);
        if (race.rounds() % 100 == 0 && tree_listing(outside) != before) break;
    }
    stop.store(true);
    attacker.join();
    EXPECT_EQ(tree_listing(outside), before);
    std::cerr << race.rounds() << " rounds, " << removed << " removed\n";
    testing::conclude(race);
}

}  // namespace
}  // namespace bramvelt::cleanup
