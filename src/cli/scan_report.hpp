#pragma once
// The `scan` command's report: the tree trimmed to the output limits, written as an
// indented text tree with a totals line, or as one JSON document.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/writer.hpp"
#include "scan/event.hpp"
#include "scan/tree.hpp"

namespace bramvelt::cli {

// What the report keeps of the tree; absent: no limit.
struct OutputLimits {
    std::optional<std::uint64_t> depth;  // levels of children below the root
    std::optional<std::uint64_t> top;    // children per node
};

// Which limit cut a node's children.
enum class OmittedReason { top, depth };

// "top" or "depth", as the report writes it.
std::string_view omitted_reason_text(OmittedReason reason);

// One node whose children were cut from the report.
struct OmittedDetail {
    std::string path;
    OmittedReason reason = OmittedReason::top;
    std::uint64_t omitted_children = 0;
};

enum class ReportFormat { text, json };

// Subtrees cut from a report, kept whole: freeing a few hundred thousand nodes costs
// more than writing the report, and the command ends right after it. Each entry is a
// node's former list of children; the nodes the report keeps were moved out of it.
using TrimmedNodes = std::vector<scan::NodeList>;

// Sorts every kept node's children (size, then path) and cuts them to the limits,
// recording each cut in pre-order; the cut subtrees go to `trimmed`.
void trim_for_output(scan::TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted, TrimmedNodes& trimmed);
// The same, freeing what is cut.
void trim_for_output(scan::TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted);

// Some node is unreadable or Incomplete. A large tree is looked through on up to
// `threads` threads.
bool tree_has_problems(const scan::TreeNode& node, unsigned threads = 1);

// Returns false when a write failed.
bool write_scan_report(platform::Writer& out, const scan::ScanOutcome& outcome, ReportFormat format,
                       const OutputLimits& limits, bool incomplete,
                       const std::vector<OmittedDetail>& omitted);

// The text report of the untrimmed outcome: the bytes of trim_for_output then
// write_scan_report, with every node's children ordered in place and nothing cut, so
// nothing is moved or freed.
bool write_text_report(platform::Writer& out, scan::ScanOutcome& outcome,
                       const OutputLimits& limits, bool incomplete);

// The JSON report of the untrimmed outcome: trim_for_output then write_scan_report, with
// the tree cut into segments that several threads trim and write at once, handed to
// `out` in order. The bytes are the same; about three segments per thread are held in
// memory at a time (one more only when the segment due next finds no spare buffer). What
// the limits cut goes to `trimmed`. False when a write failed; memory that ran out on any
// of the threads is thrown on the caller's once all have ended.
bool trim_and_write_json_report(platform::Writer& out, scan::ScanOutcome& outcome,
                                const OutputLimits& limits, bool incomplete, unsigned threads,
                                TrimmedNodes& trimmed);

}  // namespace bramvelt::cli
