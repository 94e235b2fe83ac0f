#pragma once
// A racing test proves that it raced by what happened, never by the clock: it counts
// contests (rounds in which the two sides really met, such as a swap that landed while
// the operation ran) and runs until it has seen enough of them or a generous budget ends.
// Its safety assertions hold on every round it ran, contested or not.

#include <chrono>

namespace bramvelt::testing {

class RaceRounds {
  public:
    // Ends after `wanted` contests, `max_rounds` rounds or `budget`, whichever comes first.
    RaceRounds(int wanted, int max_rounds,
               std::chrono::steady_clock::duration budget = std::chrono::seconds(60));

    bool more() const;
    // Ends a round; `contested` tells whether the two sides met in it.
    void count(bool contested);

    int rounds() const { return rounds_; }
    int contests() const { return contests_; }

  private:
    int wanted_;
    int max_rounds_;
    std::chrono::steady_clock::time_point end_;
    int rounds_ = 0;
    int contests_ = 0;
};

// Ends a racing test, as its last statement: prints "contests: N in R rounds" and records
// both. Without a single contest the test has shown nothing and skips, saying so; where
// BRAMVELT_RACE_MUST_CONTEST is set (busy runs of scripts/test), it fails instead.
void conclude(const RaceRounds& race);

}  // namespace bramvelt::testing
