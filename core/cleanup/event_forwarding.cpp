#include "core/cleanup/event_forwarding.hpp"

#include <type_traits>

#include "platform/text.hpp"

namespace bramvelt::cleanup {

void ExecutorEventAdapter::forward_executor_event(CleanupEvent event) {
    std::visit(
        [&](auto&& e) {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, Progress>) {
                CleanupProgress rebased;
                rebased.stage = std::move(e.progress.stage);
                rebased.detail = std::move(e.progress.detail);
                rebased.item_id = caller_progress_.item_id;
                rebased.items_done = caller_progress_.items_done;
                rebased.items_total = caller_progress_.items_total;
                rebased.bytes_done =
                    platform::saturating_add(caller_progress_.bytes_done, e.progress.bytes_done);
                rebased.bytes_total = caller_progress_.bytes_total;
                caller_sink_(Progress{std::move(rebased)});
            } else if constexpr (std::is_same_v<E, NativeTrashRequest> ||
                                 std::is_same_v<E, ExternalBackupRequest>) {
                caller_sink_(std::move(e));
            } else if constexpr (std::is_same_v<E, ItemFinished>) {
                result_ = std::move(e.result);
            } else if constexpr (std::is_same_v<E, Failed>) {
                failed_message_ = std::move(e.message);
            }
        },
        event);
}

}  // namespace bramvelt::cleanup
