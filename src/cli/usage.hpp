#pragma once
// The program's usage text and version line.

#include <string_view>

namespace bramvelt::cli {

inline constexpr std::string_view kVersion = "2.0.1";

inline constexpr std::string_view kUsageText =
    R"USAGE(BramVelt — disk usage maps and development cleanup

Usage:
  bramvelt                       Open the interactive terminal UI
  bramvelt ui [folder]           Open the UI, mapping a folder
  bramvelt scan <folder> [opts]  Print a disk usage report
  bramvelt dev [folder…] [opts]  List development clutter
  bramvelt clean [folder…] [opts]  Clean rebuildable development files
  bramvelt open <folder>         Show a folder in the BramVelt app (macOS)
  bramvelt --help | --version

Scan options:
  --json             Write one JSON report instead of text
  --text             Write a text tree (default)
  --depth N          Show N child levels; 0 shows only the root
  --top N            Show at most N children of each directory
  --jobs N           Scanner workers, from 1 through 64
  --profile PROFILE  general (default) or dev scheduling
  --no-packages      Show package contents
  --include-links    Include link metadata without following targets
  -i, --interactive  Open the folder in the terminal UI instead
  --                 End options before a folder beginning with '-'

Text defaults to --depth 2 --top 20; JSON defaults to full detail.
Output limits do not limit measured totals. Sizes are allocated bytes,
and hardlinks count once. Other filesystems and online-only folders are excluded.

Development options (dev and clean):
  With no folder, the usual development locations are searched: source,
  project and worktree folders in each home, tool caches and temporary folders.
  --category LIST    rebuildable, worktree, keep (dev only) or all
                     (dev default: all; clean default: rebuildable)
  --kind LIST        build, cache, dependencies, worktree, repository, temporary
  --older-than AGE   Unchanged for at least AGE: 30d, 8w, 6mo, 1y
  --min-size SIZE    At least SIZE: 500M, 1G
  --sort ORDER       largest (default), oldest or access
  --top N            Text: show N items per category (default 15)
  --verify-remotes   Confirm Git backups against live remotes (network)
  --json             Write one JSON document
  -i, --interactive  dev only: review in the terminal UI

Clean options:
  Without --yes, clean is a dry run that lists what it would remove.
  --trash            Move generated output to the Trash (default)
  --delete           Delete permanently instead
  -y, --yes          Actually clean up
  --accept-caution   Proceed with locations that carry policy warnings
  Only recognized rebuildable output and clean worktrees whose commits are
  preserved elsewhere can be removed. Every item is checked again just
  before removal; anything that changed is kept. Worktrees are removed
  with git worktree remove; their branches and history stay.

On macOS, open sends a folder to BramVelt through native file URL events.
Exit status: 0 finished, 1 failure (or an item was kept), 2 invalid usage,
             3 incomplete traversal, 130 interrupted.
)USAGE";

}  // namespace bramvelt::cli
