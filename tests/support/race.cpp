#include "support/race.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace bramvelt::testing {

RaceRounds::RaceRounds(int wanted, int max_rounds, std::chrono::steady_clock::duration budget)
    : wanted_(wanted), max_rounds_(max_rounds), end_(std::chrono::steady_clock::now() + budget) {}

bool RaceRounds::more() const {
    return contests_ < wanted_ && rounds_ < max_rounds_ && std::chrono::steady_clock::now() < end_;
}

void RaceRounds::count(bool contested) {
    ++rounds_;
    if (contested) ++contests_;
}

void conclude(const RaceRounds& race) {
    std::printf("contests: %d in %d rounds\n", race.contests(), race.rounds());
    std::fflush(stdout);
    ::testing::Test::RecordProperty("contests", race.contests());
    ::testing::Test::RecordProperty("rounds", race.rounds());
    if (race.contests() > 0) return;
    const char* must = std::getenv("BRAMVELT_RACE_MUST_CONTEST");
    if (must != nullptr && std::string_view(must) != "" && std::string_view(must) != "0") {
        ADD_FAILURE() << "no contest in " << race.rounds() << " rounds";
        return;
    }
    GTEST_SKIP() << "no contest in " << race.rounds()
                 << " rounds: the two sides never met, so the race showed nothing";
}

}  // namespace bramvelt::testing
