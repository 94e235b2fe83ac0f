#pragma once
// How a finished cleanup names what it did with the bytes it processed: moved to the
// Trash, removed for good (a worktree's folder always is), or both. Both front ends'
// summaries use it.

#include <cstdint>
#include <string>

#include "src/cli/dev_options.hpp"

namespace bramvelt::cli {

struct RemovedBytesText {
    // "1.0 KiB moved to Trash", "2.0 KiB freed", or
    // "1.0 KiB moved to Trash · 2.0 KiB freed".
    std::string text;
    bool remind_to_empty_trash = false;
};

// `trashed` is the part of `processed` that went to the Trash. While nothing was removed
// for good, the text names all of `processed` by the chosen action, with the reminder
// for a Trash run that moved anything; otherwise it names each part, with the reminder
// exactly when something went to the Trash.
RemovedBytesText removed_bytes_text(CleanAction action, std::uint64_t processed,
                                    std::uint64_t trashed);

}  // namespace bramvelt::cli
