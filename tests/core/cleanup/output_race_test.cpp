// An attacker swaps a worktree folder for a link to a decoy holding an output of the same
// name while the worktree step reads an output's identity and cleans it through a plan,
// round after round: the decoy is never touched.

#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <random>
#include <thread>

#include "cleanup_fixture.hpp"
#include "core/cleanup/worktree_removal.hpp"
#include "support/race.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST_F(CleanupTest, AWorktreeSwappedForALinkNeverLendsItsOutputToAnotherFolder) {
    const std::string decoy = tmp_ / "decoy";
    tmp_.write_file("decoy/package.json", "{}");
    tmp_.write_file("decoy/dist/app.js", "decoy");
    tmp_.write_file("decoy/dist/sub/more.js", "decoy");
    const auto before = tree_listing(decoy);
    const std::string wt = at("wt");
    const std::string output = at("wt/dist");

    std::atomic<bool> stop{false};
    std::atomic<bool> attack{false};
    std::atomic<bool> busy{false};
    std::atomic<int> swaps{0};
    std::thread attacker([&] {
        std::minstd_rand random(5);
        const std::string aside = wt + ".aside";
        while (!stop.load()) {
            if (!attack.load()) {
                std::this_thread::yield();
                continue;
            }
            busy.store(true);
            const auto when =
                std::chrono::steady_clock::now() + std::chrono::microseconds(random() % 300);
            while (attack.load() && std::chrono::steady_clock::now() < when) {
                std::this_thread::yield();
            }
            if (attack.load() && ::rename(wt.c_str(), aside.c_str()) == 0) {
                swaps.fetch_add(1);
                if (::symlink(decoy.c_str(), wt.c_str()) == 0) {
                    // Held for a varied while: a read, a resolution, a whole validation.
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 1500));
                    ::unlink(wt.c_str());
                }
                ::rename(aside.c_str(), wt.c_str());
            }
            busy.store(false);
        }
    });

    std::minstd_rand pace(9);
    // A contest: the worktree was swapped while its output was read or cleaned.
    testing::RaceRounds race(500, 4000, 30s);
    int removed = 0;
    int refused_early = 0;
    while (race.more()) {
        const int rounds = race.rounds();
        const int swaps_before = swaps.load();
        tmp_.write_file("work/wt/package.json", "{}");
        tmp_.write_file("work/wt/dist/app.js", "output");
        attack.store(rounds % 3 != 0);  // every third round runs undisturbed
        auto [link, senders] = host_trash::open_host_link(registry_);
        // The swap lands before the read as often as after it.
        if (attack.load()) std::this_thread::sleep_for(std::chrono::microseconds(pace() % 300));
        if (auto identity = read_output_identity(output)) {
            const auto outcome = run_cleanup_plan(
                context_, CleanupAction::remove(), policy::Acknowledgement::Missing,
                {*identity, "item-0-output-0", output}, make_cancel_flag(), link, CleanupProgress{},
                [](CleanupEvent) {});
            if (outcome) ++removed;
        } else {
            ++refused_early;
        }
        attack.store(false);
        while (busy.load()) std::this_thread::yield();
        ASSERT_EQ(tree_listing(decoy), before) << "round " << rounds;
        race.count(swaps.load() != swaps_before);
    }
    stop.store(true);
    attacker.join();
    RecordProperty("removed", removed);
    std::cerr << race.rounds() << " rounds, " << removed << " removed, " << refused_early
              << " refused before the plan\n";
    EXPECT_GT(removed, 0);
    testing::conclude(race);
}

}  // namespace
}  // namespace bramvelt::cleanup
