#pragma once
// What the cleanup engine tells its caller while it works, as one variant handed by value
// to the caller's sink. Every text that describes a path or a failure has passed through
// sanitize_report_text; ids, codes, stage words and tokens go as they are.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/cleanup/progress.hpp"
#include "core/cleanup/result.hpp"
#include "core/filesystem/identity.hpp"

namespace bramvelt::cleanup {

// A plan or a development run begins; a caution only for the Overwrite action.
struct PlanStarted {
    std::optional<std::string> caution;
    std::uint64_t items = 0;
    std::uint64_t work_bytes = 0;
};

struct Progress {
    CleanupProgress progress;
};

// Asks the sink to carry out the host side of a move to the Trash for the authorization
// registered under `item_id`, before the call returns.
struct NativeTrashRequest {
    filesystem::FileIdentity identity;
    std::string item_id;
    std::string path;
    std::string token;  // 48 lower-case hexadecimal digits, single use
};

// Asks the host to take an external backup of a verified archive.
struct ExternalBackupRequest {
    filesystem::FileIdentity identity;
    std::string item_id;
    std::string path;
    std::string token;
    std::string archive_path;
    std::string sha256;  // 64 lower-case hexadecimal digits
    std::uint64_t size = 0;
};

struct ItemFinished {
    CleanupItemResult result;
};

struct Summary {
    CleanupSummary summary;
};

// The run did not start; no item was touched.
struct Failed {
    std::string code;
    std::string message;
};

using CleanupEvent = std::variant<PlanStarted, Progress, NativeTrashRequest, ExternalBackupRequest,
                                  ItemFinished, Summary, Failed>;

// Called on the cleanup's own thread, never concurrently, and waited for; it owns each
// event it receives and cannot fail the run.
using CleanupEventSink = std::function<void(CleanupEvent)>;

inline constexpr std::string_view kCodeCleanupPreflight = "cleanup_preflight";
inline constexpr std::string_view kCodeCancelled = "cancelled";
inline constexpr std::string_view kCodeBackupDestination = "backup_destination";
inline constexpr std::string_view kCodeDevelopmentPreflight = "development_preflight";

}  // namespace bramvelt::cleanup
