#include "src/cli/cleanup_sink.hpp"

#include <fmt/format.h>

#include "core/host_trash/host_side.hpp"
#include "platform/text.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {

StatusMark cleanup_status_mark(const cleanup::CleanupItemResult& result) {
    const bool partial = result.error_code == cleanup::kCodeDevelopmentPartial;
    switch (result.status) {
        case cleanup::CleanupStatus::Removed:
            return {"✓", "removed"};
        case cleanup::CleanupStatus::Trashed:
            return {"✓", "trashed"};
        case cleanup::CleanupStatus::Failed:
            return {"✗", partial ? "partial" : "kept"};
        case cleanup::CleanupStatus::Cancelled:
            break;
    }
    return {"■", partial ? "partial" : "stopped"};
}

std::string cleanup_item_line(const cleanup::CleanupItemResult& result,
                              const std::optional<std::string>& home) {
    const auto [mark, word] = cleanup_status_mark(result);
    std::string line = fmt::format("{} {} {}  {}", mark, align_left(word, 8),
                                   align_right(format_size(result.processed_bytes), 10),
                                   display_path(result.path, home));
    if (result.error) {
        line += "  — ";
        line += *result.error;
    }
    return line;
}

void CliCleanupSink::on_event(cleanup::CleanupEvent event) {
    if (auto* request = std::get_if<cleanup::NativeTrashRequest>(&event)) {
        if (registry_) {
            host_trash::serve_native_trash_request(*registry_, request->item_id, request->token,
                                                   trash_host_);
        }
    } else if (auto* finished = std::get_if<cleanup::ItemFinished>(&event)) {
        if (!quiet_) {
            (void)out_.write(cleanup_item_line(finished->result, home_) + "\n");
            (void)out_.flush();
        }
        results_.push_back(std::move(finished->result));
    } else if (auto* summary = std::get_if<cleanup::Summary>(&event)) {
        const cleanup::CleanupSummary& s = summary->summary;
        completed_ = platform::saturating_add(completed_, s.completed_items);
        failed_ = platform::saturating_add(failed_, s.failed_items);
        cancelled_items_ = platform::saturating_add(cancelled_items_, s.cancelled_items);
        processed_bytes_ = platform::saturating_add(processed_bytes_, s.processed_bytes);
        trashed_bytes_ = platform::saturating_add(trashed_bytes_, s.trashed_bytes);
        if (s.cancelled) cancelled_ = true;
    } else if (auto* failed = std::get_if<cleanup::Failed>(&event)) {
        failures_.push_back(std::move(failed->message));
    }
}

}  // namespace bramvelt::cli
