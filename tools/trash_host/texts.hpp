#pragma once
// The host's only messages, printed on standard error when it fails. The program that
// starts the host discards them and reports texts of its own; they are for a person
// running the host by hand.

#include <string_view>

namespace bramvelt::trash_host {

inline constexpr std::string_view kInvalidRequest = "Invalid Trash request.";
inline constexpr std::string_view kItemUnavailable = "The authorized item is unavailable.";
inline constexpr std::string_view kItemChanged = "The authorized item changed before Trash.";
inline constexpr std::string_view kTrashFailed =
    "Native Trash failed; the item was not acknowledged.";

}  // namespace bramvelt::trash_host
