#include "scan/tree_json.hpp"

#include <charconv>
#include <cstring>

namespace bramvelt::scan {
namespace {

bool needs_escape(unsigned char c) {
    return c < 0x20 || c == '"' || c == '\\';
}

// Whether any byte of the word is below 0x20, a quotation mark or a backslash.
bool word_needs_escape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t highs = 0x8080808080808080ULL;
    const auto has_zero = [&](std::uint64_t x) { return ((x - ones) & ~x & highs) != 0; };
    const bool below_space = ((word - ones * 0x20) & ~word & highs) != 0;
    return below_space || has_zero(word ^ (ones * '"')) || has_zero(word ^ (ones * '\\'));
}

template <typename Out>
void escape_into(Out&& out, std::string_view text) {
    std::size_t run = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        // Paths rarely need escapes: skip clean words eight bytes at a time.
        if (text.size() - i >= 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            if (!word_needs_escape(word)) {
                i += 8;
                continue;
            }
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (!needs_escape(c)) {
            ++i;
            continue;
        }
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
        run = ++i;
    }
    out(text.substr(run));
}

}  // namespace

bool write_json_escaped(platform::Writer& sink, std::string_view text) {
    bool ok = sink.write("\"");
    escape_into(
        [&](std::string_view part) {
            if (ok && !part.empty()) ok = sink.write(part);
        },
        text);
    return ok && sink.write("\"");
}

void append_json_escaped(std::string& out, std::string_view text) {
    out += '"';
    escape_into([&](std::string_view part) { out.append(part); }, text);
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

std::optional<std::string_view> small_files_aggregate_dir(const TreeNode& node) {
    if (node.state != NodeState::SmallFilesAggregate || !node.path.starts_with(kSmallFilesPrefix)) {
        return std::nullopt;
    }
    return std::string_view(node.path).substr(kSmallFilesPrefix.size());
}

namespace {

// Appends up to 8 zero-padded digits.
void append_padded(std::string& out, std::uint64_t value, int width) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    const auto length = static_cast<int>(result.ptr - buf);
    for (int i = length; i < width; ++i) out += '0';
    out.append(buf, result.ptr);
}

void append_decimal(std::string& out, std::int64_t value) {
    char buf[24];
    const auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

void append_node_fields(std::string& out, const TreeNode& node, NodeKind kind, std::int64_t size,
                        std::int64_t file_count, NodeState state) {
    const std::string_view name = state == NodeState::SmallFilesAggregate
                                      ? std::string_view("Smaller files")
                                      : node_display_name(node.path);
    out += "{\"path\":";
    const std::size_t before = out.size();
    append_json_escaped(out, node.path);
    out += ",\"name\":";
    if (out.size() - before == node.path.size() + 2 && name.data() >= node.path.data() &&
        name.data() + name.size() <= node.path.data() + node.path.size()) {
        // The name is part of a path that needed no escape, so it needs none either.
        out += '"';
        out += name;
        out += '"';
    } else {
        append_json_escaped(out, name);
    }
    out += ",\"kind\":\"";
    out += kind_text(kind);
    out += "\",\"size\":";
    append_decimal(out, size);
    out += ",\"fileCount\":";
    append_decimal(out, file_count);
    out += ",\"modificationDate\":";
    if (node.modification_time) {
        // Neighbouring files mostly share their modification second.
        thread_local std::uint64_t cached_seconds = 0;
        thread_local std::string cached_text;
        const auto seconds = static_cast<std::uint64_t>(*node.modification_time);
        if (cached_text.empty() || cached_seconds != seconds) {
            cached_text.clear();
            append_iso8601_utc(cached_text, seconds);
            cached_seconds = seconds;
        }
        out += '"';
        out += cached_text;
        out += '"';
    } else {
        out += "null";
    }
    out += node.is_readable ? ",\"isReadable\":true" : ",\"isReadable\":false";
    out += state == NodeState::Scanning ? ",\"isScanning\":true" : ",\"isScanning\":false";
    switch (state) {
        case NodeState::MountPoint:
            out += ",\"isMountPoint\":true";
            break;
        case NodeState::CloudPlaceholder:
            out += ",\"isCloudPlaceholder\":true";
            break;
        case NodeState::DirectoryAlias:
            out += ",\"isDirectoryAlias\":true";
            break;
        default:
            break;
    }
    if (state == NodeState::Incomplete || !node.is_readable) out += ",\"isIncomplete\":true";
    if (state == NodeState::PolicyExcluded) out += ",\"isPolicyExcluded\":true";
    if (state == NodeState::SmallFilesAggregate) out += ",\"isSmallFilesAggregate\":true";
    if (const auto dir = small_files_aggregate_dir(node)) {
        out += ",\"aggregateDirectory\":";
        append_json_escaped(out, *dir);
    }
}

// The tree goes out in chunks of about this size, so no whole document is ever built.
constexpr std::size_t kChunk = 64 * 1024;

bool append_tree(platform::Writer& sink, std::string& chunk, const TreeNode& node) {
    append_node_fields(chunk, node, node.kind, node.size, node.file_count, node.state);
    chunk += ",\"children\":[";
    bool first = true;
    for (const TreeNode& child : node.children) {
        if (!first) chunk += ',';
        first = false;
        if (!append_tree(sink, chunk, child)) return false;
    }
    chunk += "]}";
    if (chunk.size() >= kChunk) {
        const bool ok = sink.write(chunk);
        chunk.clear();
        return ok;
    }
    return true;
}

}  // namespace

void append_iso8601_utc(std::string& out, std::uint64_t seconds) {
    if (static_cast<std::int64_t>(seconds) < 0) {
        out += "1970-01-01T00:00:00Z";
        return;
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
    append_padded(out, year, 4);
    out += '-';
    append_padded(out, month, 2);
    out += '-';
    append_padded(out, day, 2);
    out += 'T';
    append_padded(out, second_of_day / 3'600, 2);
    out += ':';
    append_padded(out, (second_of_day % 3'600) / 60, 2);
    out += ':';
    append_padded(out, second_of_day % 60, 2);
    out += 'Z';
}

std::string format_iso8601_utc(std::uint64_t seconds) {
    std::string out;
    append_iso8601_utc(out, seconds);
    return out;
}

bool write_node_fields_json(platform::Writer& sink, const TreeNode& node, NodeKind kind,
                            std::int64_t size, std::int64_t file_count, NodeState state) {
    std::string out;
    append_node_fields(out, node, kind, size, file_count, state);
    return sink.write(out);
}

bool write_tree_json(platform::Writer& sink, const TreeNode& node) {
    std::string chunk;
    chunk.reserve(kChunk + 4096);
    if (!append_tree(sink, chunk, node)) return false;
    return chunk.empty() || sink.write(chunk);
}

}  // namespace bramvelt::scan
