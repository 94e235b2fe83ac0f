#pragma once
// The work done ahead of one development search: Git children asking its queries, threads
// measuring its folders, and the walk's side that hands them what it queues. Construction
// plugs both pools into the search state; end() (or destruction) unplugs them, kills and
// reaps every child, stops every measurement and joins every thread.

#include <memory>
#include <optional>

#include "core/development/git_prefetch.hpp"
#include "core/development/measure_ahead.hpp"
#include "core/development/state.hpp"
#include "core/development/walk_lookahead.hpp"

namespace bramvelt::development {

class AheadLinks;

class WorkAhead {
  public:
    // `threads` Git children and as many measuring threads.
    WorkAhead(DevScanState& state, unsigned threads);
    ~WorkAhead();
    WorkAhead(const WorkAhead&) = delete;
    WorkAhead& operator=(const WorkAhead&) = delete;

    WalkLookahead& lookahead() { return lookahead_; }
    GitPrefetch& pool() { return *pool_; }
    MeasureAhead& measuring() { return *measuring_; }

    void end();

  private:
    DevScanState& state_;
    std::shared_ptr<AheadLinks> links_;
    WalkLookahead lookahead_;
    std::optional<GitPrefetch> pool_;
    std::optional<MeasureAhead> measuring_;
};

}  // namespace bramvelt::development
