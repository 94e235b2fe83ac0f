#pragma once
// The JSON form of a scan tree: one object per node, children nested, written straight
// into a sink without building a document. The command's report and the event stream
// produce the same bytes for the same node.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/writer.hpp"
#include "scan/tree.hpp"

namespace bramvelt::scan {

// The node and all its descendants; false on the sink's first failed write.
bool write_tree_json(platform::Writer& sink, const TreeNode& node);
// The same bytes appended to a string, for a writer that keeps its own buffers (in tree
// memory: see tree_memory.hpp).
void append_tree_json(TreeString& out, const TreeNode& node);

// Every member before "children" (the opening brace included), with kind, totals and
// state given by the caller; path, date and readability come from the node.
bool write_node_fields_json(platform::Writer& sink, const TreeNode& node, NodeKind kind,
                            std::int64_t size, std::int64_t file_count, NodeState state);

// A JSON string: \" \\ \n \r \t, other controls as \u00xx, everything else unchanged.
bool write_json_escaped(platform::Writer& sink, std::string_view text);
void append_json_escaped(std::string& out, std::string_view text);
std::string json_quoted(std::string_view text);

bool write_decimal(platform::Writer& sink, std::int64_t value);

// "YYYY-MM-DDTHH:MM:SSZ" (years past 9999 in full); a value with the top bit set gives
// the epoch.
std::string format_iso8601_utc(std::uint64_t seconds);
void append_iso8601_utc(std::string& out, std::uint64_t seconds);

// The directory of a small-files aggregate node, from its path.
std::optional<std::string_view> small_files_aggregate_dir(const TreeNode& node);

inline constexpr std::string_view kSmallFilesPrefix = "bramvelt-small-files://";

}  // namespace bramvelt::scan
