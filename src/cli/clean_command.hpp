#pragma once
// The `clean` command: one search, the removable finds reviewed in batches of at most
// 256, then a dry run (without --yes), the caution gate (warnings without
// --accept-caution), or the cleanup itself, batch after batch, with one line per item and
// a summary.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include <nlohmann/json.hpp>

#include "core/cleanup/development_cleanup.hpp"
#include "core/cleanup/result.hpp"
#include "core/development/types.hpp"
#include "core/host_trash/trash_adapter.hpp"
#include "platform/writer.hpp"
#include "src/cli/dev_command.hpp"
#include "src/cli/dev_options.hpp"

namespace bramvelt::cli {

// Runs one reviewed batch; every result reaches the sink.
using DevCleanupRun = std::function<void(
    const cleanup::DevCleanupRequest& request, const CancelFlag& cancel,
    std::shared_ptr<host_trash::TrashRegistry> registry, const cleanup::CleanupEventSink& sink)>;

// What `clean` needs beyond its options: the search, clock and terminal test of `dev`,
// the cleanup run, and the Trash host its sink starts. Tests put their own in.
struct CleanCommandEnv {
    DevCommandEnv search;
    DevCleanupRun run;
    host_trash::TrashHostSettings trash_host;
};

// The real search, the real development cleanup run and the Trash host beside the
// program.
CleanCommandEnv real_clean_command_env();

// Exit status: 0 finished; 1 a failure, an item kept, the caution gate, a run the engine
// stopped, or a dry run whose report cannot be written; 2 a folder cannot be resolved; 3
// a dry run of a limited search; 128 plus the signal for Ctrl-C (130) or being told to
// end. Beyond the dry run's report, output failures change nothing.
int clean_command(const DevCommandOptions& options, platform::Writer& out, platform::Writer& err,
                  const CleanCommandEnv& env);

std::uint64_t count_worktrees(std::span<const development::DevCandidate* const> candidates);

// One record per result, in order: "backup_path", "error", "error_code" (only when the
// result has one), "item_id", "path", "processed_bytes", "status".
nlohmann::json clean_results_json(std::span<const cleanup::CleanupItemResult> results);

}  // namespace bramvelt::cli
