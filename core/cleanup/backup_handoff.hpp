#pragma once
// The ExternalBackup action: a private staging copy of the item, verified and packed into
// an archive with a known digest, handed to the host with a single-use token; the item is
// removed only once the host's receipt matches the archive and everything verifies again.
// The staging folder goes with the handoff, its read-only copies made writable first so
// no private copy of the user's data is left behind.

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/validation.hpp"
#include "core/host_trash/host_link.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kStagingNotReserved = "Could not reserve private backup staging";
inline constexpr std::string_view kStagingInsideItem =
    "Private backup staging is inside the selected item; choose a narrower selection";
inline constexpr std::string_view kStagingLostEntry = "Staging copy lost an entry; original kept";
inline constexpr std::string_view kHandoffNotAuthorized = "Could not authorize backup handoff";
inline constexpr std::string_view kHandoffExpired =
    "External backup authorization expired; original kept";
inline constexpr std::string_view kHandoffDisconnected =
    "External backup callback disconnected; original kept";
inline constexpr std::string_view kHandoffMismatch =
    "External backup acknowledgement does not match authorization; original kept";
inline constexpr std::string_view kHandoffTransferFailed =
    "External backup transfer failed; original kept";
inline constexpr std::string_view kHandoffNeedsReceipt =
    "External backup acknowledgement requires a verified local archive receipt";
inline constexpr std::string_view kHandoffReceiptMismatch =
    "External backup receipt does not match the archive; original kept";
inline constexpr std::string_view kStagingChanged = "Backup staging folder changed; original kept";
inline constexpr std::string_view kArchiveReplaced = "Remote archive was replaced; original kept";
inline constexpr std::string_view kStagingTreeChanged =
    "Verified staging tree changed; original kept";
inline constexpr std::chrono::seconds kExternalBackupTtl{600};
inline constexpr std::chrono::milliseconds kAcknowledgementPoll{80};

std::expected<void, std::string> archive_handoff_backup(
    const AuthorizedItem& item, host_trash::AcknowledgementReceiver& acknowledgements,
    ProgressReporter& reporter, std::optional<std::string>& backup_path);

}  // namespace bramvelt::cleanup
