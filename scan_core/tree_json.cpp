#include "scan_core/tree_json.hpp"

#include <charconv>

#include <fmt/format.h>

namespace bramvelt::scan {
namespace {

bool needs_escape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

template <typename Out>
void escape_into(Out&& out, std::string_view text) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!needs_escape(c)) continue;
        out(text.substr(run, i - run));
        switch (c) {
            case '"':
                out("\\\"");
                break;
            case '\\':
                out("\\\\");
                break;
            case '\n':
                out("\\n");
                break;
            case '\r':
                out("\\r");
                break;
            case '\t':
                out("\\t");
                break;
            default: {
                static constexpr char hex[] = "0123456789abcdef";
                const char small[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xF]};
                out(std::string_view(small, 6));
            }
        }
        run = i + 1;
    }
    out(text.substr(run));
}

}  // namespace

bool write_json_escaped(platform::Writer& sink, std::string_view text) {
    bool ok = sink.write("\"");
    escape_into(
        [&](std::string_view piece) {
            if (ok && !piece.empty()) ok = sink.write(piece);
        },
        text);
    return ok && sink.write("\"");
}

void append_json_escaped(std::string& out, std::string_view text) {
    out += '"';
    escape_into([&](std::string_view piece) { out.append(piece); }, text);
    out += '"';
}

std::string json_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    append_json_escaped(out, text);
    return out;
}

bool write_decimal(platform::Writer& sink, std::int64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    return sink.write(std::string_view(buf, static_cast<std::size_t>(result.ptr - buf)));
}

std::string format_iso8601_utc(std::uint64_t seconds) {
    if (static_cast<std::int64_t>(seconds) < 0) {
        return "1970-01-01T00:00:00Z";
    }
    // Days to civil date, years starting on 1 March so leap days fall at a year's end.
    const std::uint64_t days = seconds / 86'400;
    const std::uint64_t second_of_day = seconds % 86'400;
    const std::uint64_t z = days + 719'468;
    const std::uint64_t era = z / 146'097;
    const std::uint64_t doe = z - era * 146'097;
    const std::uint64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
    std::uint64_t year = yoe + era * 400;
    const std::uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::uint64_t mp = (5 * doy + 2) / 153;
    const std::uint64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::uint64_t month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2) ++year;
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", year, month, day,
                       second_of_day / 3'600, (second_of_day % 3'600) / 60, second_of_day % 60);
}

std::optional<std::string_view> small_files_aggregate_dir(const TreeNode& node) {
    if (node.state != NodeState::SmallFilesAggregate ||
        !node.path.starts_with(SMALL_FILES_PREFIX)) {
        return std::nullopt;
    }
    return std::string_view(node.path).substr(SMALL_FILES_PREFIX.size());
}

bool write_node_fields_json(platform::Writer& sink, const TreeNode& node, NodeKind kind,
                            std::int64_t size, std::int64_t file_count, NodeState state) {
    const std::string_view name = state == NodeState::SmallFilesAggregate
                                      ? std::string_view("Smaller files")
                                      : node_display_name(node.path);
    bool ok = sink.write("{\"path\":") && write_json_escaped(sink, node.path) &&
              sink.write(",\"name\":") && write_json_escaped(sink, name) &&
              sink.write(",\"kind\":\"") && sink.write(kind_text(kind)) &&
              sink.write("\",\"size\":") && write_decimal(sink, size) &&
              sink.write(",\"fileCount\":") && write_decimal(sink, file_count) &&
              sink.write(",\"modificationDate\":");
    if (!ok) return false;
    if (node.modification_time) {
        ok = sink.write("\"") &&
             sink.write(format_iso8601_utc(static_cast<std::uint64_t>(*node.modification_time))) &&
             sink.write("\"");
    } else {
        ok = sink.write("null");
    }
    ok =
        ok && sink.write(node.is_readable ? ",\"isReadable\":true" : ",\"isReadable\":false") &&
        sink.write(state == NodeState::Scanning ? ",\"isScanning\":true" : ",\"isScanning\":false");
    if (!ok) return false;
    switch (state) {
        case NodeState::MountPoint:
            ok = sink.write(",\"isMountPoint\":true");
            break;
        case NodeState::CloudPlaceholder:
            ok = sink.write(",\"isCloudPlaceholder\":true");
            break;
        case NodeState::DirectoryAlias:
            ok = sink.write(",\"isDirectoryAlias\":true");
            break;
        default:
            break;
    }
    if (ok && (state == NodeState::Incomplete || !node.is_readable)) {
        ok = sink.write(",\"isIncomplete\":true");
    }
    if (ok && state == NodeState::PolicyExcluded) ok = sink.write(",\"isPolicyExcluded\":true");
    if (ok && state == NodeState::SmallFilesAggregate) {
        ok = sink.write(",\"isSmallFilesAggregate\":true");
    }
    if (ok && node.state == NodeState::SmallFilesAggregate) {
        if (const auto dir = small_files_aggregate_dir(node)) {
            ok = sink.write(",\"aggregateDirectory\":") && write_json_escaped(sink, *dir);
        }
    }
    return ok;
}

bool write_tree_json(platform::Writer& sink, const TreeNode& node) {
    if (!write_node_fields_json(sink, node, node.kind, node.size, node.file_count, node.state) ||
        !sink.write(",\"children\":[")) {
        return false;
    }
    bool first = true;
    for (const TreeNode& child : node.children) {
        if (!first && !sink.write(",")) return false;
        first = false;
        if (!write_tree_json(sink, child)) return false;
    }
    return sink.write("]}");
}

}  // namespace bramvelt::scan
