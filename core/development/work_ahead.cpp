#include "core/development/work_ahead.hpp"

#include <mutex>

#include "core/development/git_queries.hpp"
#include "core/development/inspection_prefetch.hpp"
#include "core/development/paths.hpp"

namespace bramvelt::development {

// The threads that work ahead reach each other from their own threads: a queued folder
// found to be a checkout has Git asked what the walk will ask there, an ended status lets
// a checkout's measurement start, and a checkout measured ahead has Git asked whether the
// artifacts found inside are ignored (the query their reports will ask). All go through
// this, which the end of the search cuts before the pools are taken down.
class AheadLinks final : public std::enable_shared_from_this<AheadLinks> {
  public:
    void connect(GitPrefetch* pool, MeasureAhead* measuring, const WalkOrder* order) {
        std::lock_guard lock(mutex_);
        pool_ = pool;
        measuring_ = measuring;
        order_ = order;
    }
    void cut() { connect(nullptr, nullptr, nullptr); }

    StatusEnded status_ended() {
        return [links = shared_from_this()](const std::string& checkout, bool later) {
            std::lock_guard lock(links->mutex_);
            if (links->measuring_ != nullptr) {
                links->measuring_->consider_checkout(checkout, later);
            }
        };
    }

    void checkout_found(const QueuedFolder& folder, bool main_checkout) {
        const StatusEnded ended = status_ended();
        std::lock_guard lock(mutex_);
        if (pool_ != nullptr) {
            forecast_queued_checkout(*pool_, folder, main_checkout, *order_, ended);
        }
    }

    void nested_found(const std::string& checkout, const std::vector<NestedArtifactFind>& nested) {
        std::lock_guard lock(mutex_);
        const auto generation = pool_ != nullptr ? pool_->held_generation(checkout) : std::nullopt;
        if (!generation) {
            return;
        }
        for (const auto& find : nested) {
            pool_->ask_for(*generation,
                           {checkout, git_query::ignored(relative_path(find.path, checkout))},
                           Urgency::Soon);
        }
    }

  private:
    std::mutex mutex_;
    GitPrefetch* pool_ = nullptr;
    MeasureAhead* measuring_ = nullptr;
    const WalkOrder* order_ = nullptr;
};

WorkAhead::WorkAhead(DevScanState& state, unsigned threads)
    : state_(state),
      links_(std::make_shared<AheadLinks>()),
      lookahead_(
          [this](std::vector<QueuedFolder> folders) { measuring_->consider(std::move(folders)); }) {
    pool_.emplace(state.git_launch(), state.cancel, state.git_timeout_seconds, threads);
    measuring_.emplace(
        state.request, threads, lookahead_.order(),
        [links = links_](const std::string& checkout,
                         const std::vector<NestedArtifactFind>& nested) {
            links->nested_found(checkout, nested);
        },
        [links = links_](const QueuedFolder& folder, bool main_checkout) {
            links->checkout_found(folder, main_checkout);
        });
    links_->connect(&*pool_, &*measuring_, &lookahead_.order());
    // Made before the state learns of the pools, so that a failure here leaves it alone.
    StatusEnded status_ended = links_->status_ended();
    state.prefetch = &*pool_;
    state.measure_ahead = &*measuring_;
    state.checkout_status_ended = std::move(status_ended);
}

WorkAhead::~WorkAhead() {
    end();
}

void WorkAhead::end() {
    // Cut first: the pools' threads reach each other through the links until then.
    links_->cut();
    state_.measure_ahead = nullptr;
    state_.prefetch = nullptr;
    state_.checkout_status_ended = nullptr;
    measuring_.reset();
    pool_.reset();
}

}  // namespace bramvelt::development
