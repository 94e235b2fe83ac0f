// A folder swapped for a link to ~/.ssh while items are decided and removed: no decision
// may pair an ordinary location with the key's identity, and nothing in ~/.ssh may go.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/policy/decision.hpp"
#include "support/race.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::policy {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

TEST(DecisionRace, AFolderFlippingToALinkNeverExposesTheKey) {
    TempDir tmp;
    const std::string home = tmp.make_dir("home");
    const std::string key = tmp.write_file("home/.ssh/item", "secret key");
    const auto key_identity = filesystem::read_identity(key).value();
    const std::string work = tmp.make_dir("work");
    tmp.make_dir("work/proj");
    fs::create_directory_symlink("../home/.ssh", work + "/alt");
    ScopedEnv env("HOME", home.c_str());
    PolicyContext context;
    context.home = home;
    const std::string item = work + "/proj/item";

    // The attacker exchanges the real folder "proj" and the link "alt" back and forth, so
    // "work/proj" is now the folder, now a link into ~/.ssh.
    std::atomic<bool> done{false};
    std::atomic<bool> hold{false};
    std::atomic<int> hold_round{0};
    std::atomic<int> held_round{0};
    std::atomic<long> flips{0};
    std::thread attacker([&] {
        const int dir = ::open(work.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        while (!done.load()) {
            if (hold.load()) {
                held_round.store(hold_round.load());
                std::this_thread::yield();
                continue;
            }
            if (::syscall(SYS_renameat2, dir, "proj", dir, "alt", RENAME_EXCHANGE) == 0) {
                flips.fetch_add(1);
            }
        }
        ::close(dir);
    });

    // A contest: the folder flipped while the path was being decided.
    testing::RaceRounds race(1000, 4000, std::chrono::seconds(30));
    int allowed = 0;
    int removed = 0;
    int inconsistent = 0;
    bool contested = false;
    for (; race.more(); race.count(contested)) {
        const int rounds = race.rounds();
        // Put an ordinary item back into whichever folder is real, the attacker held.
        hold_round.store(rounds + 1);
        hold.store(true);
        while (held_round.load() != rounds + 1) std::this_thread::yield();
        for (const char* name : {"/proj", "/alt"}) {
            const std::string folder = work + name;
            if (!fs::is_symlink(folder)) std::ofstream(folder + "/item") << "build output";
        }
        hold.store(false);
        const long flips_before = flips.load();
        const PathDecision d = evaluate_path_policy(context, item);
        contested = flips.load() != flips_before;
        if (d.verdict != PolicyVerdict::Allowed) continue;
        ++allowed;
        if (d.identity && d.identity->inode == key_identity.inode) ++inconsistent;
        if (!d.canonical_path || d.canonical_path->find("/.ssh") != std::string::npos) {
            ++inconsistent;
        }
        auto handle = open_decided_parent(d);
        if (!handle) continue;
        if (filesystem::unlink_verified(*handle, filesystem::UnlinkAs::NonDirectory, *d.identity)) {
            ++removed;
        }
        ASSERT_TRUE(fs::exists(key)) << "round " << rounds;
    }
    done.store(true);
    attacker.join();
    std::printf("decision race: %d rounds, %d allowed, %d removed, %d inconsistent\n",
                race.rounds(), allowed, removed, inconsistent);
    EXPECT_EQ(inconsistent, 0);
    EXPECT_EQ(filesystem::read_identity(key).value(), key_identity);
    testing::conclude(race);
}

TEST(DecisionRace, AnActionFailsWhenTheDecidedParentWasReplaced) {
    TempDir tmp;
    const std::string home = tmp.make_dir("home");
    ScopedEnv env("HOME", home.c_str());
    PolicyContext context;
    context.home = home;
    tmp.write_file("work/proj/item", "x");
    const PathDecision d = evaluate_path_policy(context, tmp / "work/proj/item");
    ASSERT_EQ(d.verdict, PolicyVerdict::Allowed);
    ASSERT_TRUE(d.parent);

    // The same path now leads through another folder, then through a link.
    fs::rename(tmp / "work/proj", tmp / "work/old");
    tmp.write_file("work/proj/item", "x");
    EXPECT_EQ(open_decided_parent(d).error().message, filesystem::kParentChanged);
    fs::remove_all(tmp / "work/proj");
    fs::create_directory_symlink(tmp / "work/old", tmp / "work/proj");
    EXPECT_FALSE(open_decided_parent(d));
    fs::remove(tmp / "work/proj");
    fs::rename(tmp / "work/old", tmp / "work/proj");
    EXPECT_TRUE(open_decided_parent(d));

    // A link item is judged where it leads and cannot be acted on through its target.
    fs::create_symlink(tmp / "work/proj/item", tmp / "work/link");
    const PathDecision link = evaluate_path_policy(context, tmp / "work/link");
    EXPECT_TRUE(link.is_symlink);
    EXPECT_FALSE(link.parent);
    EXPECT_EQ(open_decided_parent(link).error().message, kCannotResolve);
}

}  // namespace
}  // namespace bramvelt::policy
