#pragma once
// The fixed texts of the native Trash: what an item's result says when its move to the
// Trash was refused, failed or cannot be told.

#include <string_view>

namespace bramvelt::host_trash {

// The cleanup step's wait.
inline constexpr std::string_view kCleanupCancelled = "Cleanup cancelled";
inline constexpr std::string_view kAuthorizationExpired = "Native Trash authorization expired";
inline constexpr std::string_view kCallbackDisconnected = "Native Trash callback disconnected";
inline constexpr std::string_view kAcknowledgementMismatch =
    "Native Trash acknowledgement does not match authorization";
inline constexpr std::string_view kHostFailed =
    "Native Trash failed; original retained when possible";
inline constexpr std::string_view kNotExecutedByAuthorization =
    "Host native Trash was not executed by this authorization";
inline constexpr std::string_view kNotCompleted = "Host native Trash was not completed";
inline constexpr std::string_view kCannotVerify = "Cannot verify the native Trash result";
inline constexpr std::string_view kItemRemains =
    "Native Trash reported success but the item remains at its original path";

// Reservation, execution and the host-side re-check.
inline constexpr std::string_view kAuthorizationInvalid =
    "Native Trash authorization is invalid, expired or cancelled";
inline constexpr std::string_view kAuthorizationUsed =
    "Native Trash authorization was already used";
inline constexpr std::string_view kAuthorizationExpiredOrCancelled =
    "Native Trash authorization expired or was cancelled";
inline constexpr std::string_view kMustBeReserved =
    "Native Trash authorization must be reserved before execution";
inline constexpr std::string_view kItemChangedBeforeTrash =
    "Authorized item or parent changed before Trash";
inline constexpr std::string_view kResultUnknown =
    "Native Trash result is unknown; inspect the original location and Trash before trying again";

// The adapter that starts the host program.
inline constexpr std::string_view kCannotEncodeRequest = "Cannot encode native Trash request";
inline constexpr std::string_view kRequestTooLarge =
    "Native Trash request exceeded the supported size";
inline constexpr std::string_view kCancelledBeforeExecution =
    "Native Trash was cancelled before OS execution";
inline constexpr std::string_view kCannotStartHost = "Cannot start the host native Trash adapter";
inline constexpr std::string_view kStdinUnavailable = "Native Trash stdin is unavailable";
inline constexpr std::string_view kStdoutUnavailable = "Native Trash stdout is unavailable";
inline constexpr std::string_view kStderrUnavailable = "Native Trash stderr is unavailable";
inline constexpr std::string_view kAdapterTimedOut =
    "Native Trash adapter timed out; its result was not acknowledged";
inline constexpr std::string_view kAdapterFailed =
    "Native Trash adapter did not return a successful result";

}  // namespace bramvelt::host_trash
