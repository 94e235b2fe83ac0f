#include "src/cli/cleanup_totals.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "src/cli/format.hpp"

namespace bramvelt::cli {

RemovedBytesText removed_bytes_text(CleanAction action, std::uint64_t processed,
                                    std::uint64_t trashed) {
    trashed = std::min(trashed, processed);
    const std::uint64_t permanent = processed - trashed;
    if (permanent == 0) {
        const bool to_trash = action != CleanAction::Delete;
        return {fmt::format("{} {}", format_size(processed), to_trash ? "moved to Trash" : "freed"),
                to_trash && processed > 0};
    }
    if (trashed == 0) return {fmt::format("{} freed", format_size(permanent)), false};
    return {
        fmt::format("{} moved to Trash · {} freed", format_size(trashed), format_size(permanent)),
        true};
}

}  // namespace bramvelt::cli
