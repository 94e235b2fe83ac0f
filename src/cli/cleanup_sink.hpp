#pragma once
// The command line's cleanup sink: serves the run's Trash requests (the host side of
// the native Trash), prints one line per finished item, and gathers the results,
// counters and failure texts that the summary and the JSON document report.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/event.hpp"
#include "core/host_trash/trash_adapter.hpp"
#include "core/host_trash/trash_registry.hpp"
#include "platform/writer.hpp"

namespace bramvelt::cli {

// Whether finished items are printed (text) or only collected (--json).
enum class ItemLines : std::uint8_t { Printed, Quiet };

// The mark and word of a finished item: "✓ removed", "✓ trashed", "✗ kept", "■ stopped".
// An item cut short after part of it was removed reads "partial" instead of "kept" or
// "stopped", with the same mark: its size then shows what is gone.
struct StatusMark {
    std::string_view mark;
    std::string_view word;
};
StatusMark cleanup_status_mark(const cleanup::CleanupItemResult& result);

// "✓ removed       1.5 KiB  ~/src/app/target", with "  — {error}" after a kept or
// stopped item; without the line feed.
std::string cleanup_item_line(const cleanup::CleanupItemResult& result,
                              const std::optional<std::string>& home);

class CliCleanupSink {
  public:
    CliCleanupSink(platform::Writer& out, ItemLines lines, std::optional<std::string> home,
                   host_trash::TrashHostSettings trash_host = {})
        : out_(out),
          quiet_(lines == ItemLines::Quiet),
          home_(std::move(home)),
          trash_host_(std::move(trash_host)) {}

    // The registry of the run about to start; every run gets a new one.
    void set_registry(std::shared_ptr<host_trash::TrashRegistry> registry) {
        registry_ = std::move(registry);
    }

    // Never fails; output errors are ignored.
    void on_event(cleanup::CleanupEvent event);

    const std::vector<cleanup::CleanupItemResult>& results() const { return results_; }
    std::uint64_t completed_items() const { return completed_; }
    std::uint64_t failed_items() const { return failed_; }
    std::uint64_t cancelled_items() const { return cancelled_items_; }
    std::uint64_t processed_bytes() const { return processed_bytes_; }
    std::uint64_t trashed_bytes() const { return trashed_bytes_; }  // part of processed
    bool cancelled() const { return cancelled_; }  // some summary said so
    const std::vector<std::string>& failures() const { return failures_; }

  private:
    platform::Writer& out_;
    bool quiet_;
    std::optional<std::string> home_;
    host_trash::TrashHostSettings trash_host_;
    std::shared_ptr<host_trash::TrashRegistry> registry_;
    std::vector<cleanup::CleanupItemResult> results_;
    std::uint64_t completed_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t cancelled_items_ = 0;
    std::uint64_t processed_bytes_ = 0;
    std::uint64_t trashed_bytes_ = 0;
    bool cancelled_ = false;
    std::vector<std::string> failures_;
};

}  // namespace bramvelt::cli
