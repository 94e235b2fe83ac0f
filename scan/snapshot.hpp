#pragma once
// Live snapshots: the whole tree so far (finished subtrees, the directories the
// frontier listed, placeholders with live counts for queued and running jobs), handed
// to the callback as an owned copy or, without a callback, streamed as one JSON line
// straight from the frontier without copying the tree.

#include <vector>

#include "platform/writer.hpp"
#include "scan/frontier.hpp"
#include "scan/job.hpp"
#include "scan/session.hpp"

namespace bramvelt::scan {

void emit_snapshot(ScanSession& session, const TreeNode& root, const ScanFrontier& frontier,
                   const std::vector<JobResult>& results);

bool write_live_tree_json(platform::Writer& sink, const LiveNode& node);

}  // namespace bramvelt::scan
