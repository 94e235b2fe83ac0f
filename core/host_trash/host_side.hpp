#pragma once
// The host side of a move to the Trash: reserving an authorization, re-checking its item,
// executing it, and all three as a front end's sink does them for one request.

#include <expected>
#include <string>
#include <string_view>

#include "core/host_trash/trash_adapter.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "core/host_trash/trash_registry.hpp"

namespace bramvelt::host_trash {

// Issued -> Reserved for the holder of the right token while the authorization is young
// and its run not cancelled. Fails with kAuthorizationInvalid (state unchanged),
// kAuthorizationUsed, or kAuthorizationExpiredOrCancelled (state Failed: the time ran
// out or the run was cancelled just as it was won).
std::expected<void, std::string> reserve_trash_authorization(TrashAuthorization& authorization,
                                                             std::string_view token);

// Young and not cancelled, the local service context, the acknowledgement the path
// needs, the item's exact identity through its parent, and the tree below it; the
// first failure's text (kItemChangedBeforeTrash for a changed item or tree).
std::expected<void, std::string> recheck_trash_authorization(
    const TrashAuthorization& authorization);

// For a reserved authorization: the re-check, then the host moves the item. Leaves
// Trashed, Failed (with the failure text) or Indeterminate (the host ran and the item is
// no longer at its place as authorized: kResultUnknown) in the authorization, and
// returns the same. kMustBeReserved, state unchanged, when it was not reserved.
std::expected<void, std::string> execute_reserved_trash(TrashAuthorization& authorization,
                                                        const TrashHostSettings& settings = {});

// What a front end's sink does with a Trash request: look the item up in the registry
// (lock held for the look-up only), then reserve with the token and, when that worked,
// execute. Nothing registered under the id: nothing happens. The outcome is read from the
// authorization's state by the waiting step, so nothing is returned.
void serve_native_trash_request(const TrashRegistry& registry, std::string_view item_id,
                                std::string_view token, const TrashHostSettings& settings = {});

}  // namespace bramvelt::host_trash
