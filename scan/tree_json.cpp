#include "scan/tree_json.hpp"

#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The position of the first byte at or after `from` that needs an escape; the size when
// none does. Paths rarely need one: clean bytes are skipped 16 or 8 at a time.
std::size_t find_escape(std::string_view text, std::size_t from) {
    const char* data = text.data();
    const std::size_t size = text.size();
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i last_control = _mm_set1_epi8(0x1F);
    while (size - from >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
        // min(b, 0x1F) == b exactly when b is a control character.
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, last_control), bytes);
        const __m128i hits = _mm_or_si128(
            control, _mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
        if (const int mask = _mm_movemask_epi8(hits); mask != 0) {
            return from + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        from += 16;
    }
#endif
    while (size - from >= 8) {
        std::uint64_t word;
        std::memcpy(&word, data + from, 8);
        if (word_needs_escape(word)) break;
        from += 8;
    }
    while (from < size && !needs_escape(static_cast<unsigned char>(data[from]))) ++from;
    return from;
}

// The escape of one byte that needs it; at most 6 bytes.
std::string_view escape_of(unsigned char c, char (&small)[6]) {
    switch (c) {
        case '"':
            return "\\\"";
        case '\\':
            return "\\\\";
        case '\n':
            return "\\n";
        case '\r':
            return "\\r";
        case '\t':
            return "\\t";
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            small[0] = '\\';
            small[1] = 'u';
            small[2] = '0';
            small[3] = '0';
            small[4] = hex[c >> 4];
            small[5] = hex[c & 0xF];
            return std::string_view(small, 6);
        }
    }
}

// Calls `out` with the escaped text piece by piece: each clean run whole, then each
// escape (built in a 6-byte buffer, so escaping allocates nothing).
template <typename Out>
void escape_into(Out&& out, std::string_view text) {
    std::size_t run = 0;
    for (std::size_t i = find_escape(text, 0); i < text.size(); i = find_escape(text, i)) {
        out(text.substr(run, i - run));
        char small[6];
        out(escape_of(static_cast<unsigned char>(text[i]), small));
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

// Writes into room the caller has made; `at` moves past what was written.
struct Cursor {
    char* at;

    void put(std::string_view text) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    }
    void put(char c) { *at++ = c; }
    void decimal(std::int64_t value) { at = std::to_chars(at, at + 20, value).ptr; }
    // Escaped, quotes included: at most 6 bytes per byte of text, and 2. The first
    // `clean` bytes are known to need no escape.
    void escaped(std::string_view text, std::size_t clean = 0) {
        put('"');
        put(text.substr(0, clean));
        escape_into([this](std::string_view part) { put(part); }, text.substr(clean));
        put('"');
    }
};

// The longest text of the members before "children", beyond the path, the name and the
// aggregate directory (each at most 6 bytes per byte escaped).
constexpr std::size_t kFixedFieldsBound = 320;

// Neighbouring files mostly share their modification second.
std::string_view date_text(std::int64_t seconds) {
    thread_local std::uint64_t cached_seconds = 0;
    thread_local std::string cached_text;
    const auto value = static_cast<std::uint64_t>(seconds);
    if (cached_text.empty() || cached_seconds != value) {
        cached_text.clear();
        append_iso8601_utc(cached_text, value);
        cached_seconds = value;
    }
    return cached_text;
}

// Returns how many leading bytes of the path need no escape (all of them, mostly), of
// which the first `clean` were known to.
template <class Text>
std::size_t append_node_fields(Text& out, const TreeNode& node, NodeKind kind, std::int64_t size,
                               std::int64_t file_count, NodeState state, std::size_t clean = 0) {
    const std::string_view path = node.path;
    const std::string_view name = state == NodeState::SmallFilesAggregate
                                      ? std::string_view("Smaller files")
                                      : node_display_name(path);
    const auto aggregate = small_files_aggregate_dir(node);
    const std::size_t bound =
        6 * (path.size() + name.size() + (aggregate ? aggregate->size() : 0)) + kFixedFieldsBound;
    const std::size_t before = out.size();
    const std::size_t path_clean = find_escape(path, clean);
    out.resize_and_overwrite(before + bound, [&](char* data, std::size_t) {
        Cursor c{data + before};
        c.put("{\"path\":");
        c.escaped(path, path_clean);
        c.put(",\"name\":");
        if (path_clean == path.size() && name.data() >= path.data() &&
            name.data() + name.size() <= path.data() + path.size()) {
            // The name is part of a path that needed no escape, so it needs none either.
            c.put('"');
            c.put(name);
            c.put('"');
        } else {
            c.escaped(name);
        }
        c.put(",\"kind\":\"");
        c.put(kind_text(kind));
        c.put("\",\"size\":");
        c.decimal(size);
        c.put(",\"fileCount\":");
        c.decimal(file_count);
        c.put(",\"modificationDate\":");
        if (node.modification_time) {
            c.put('"');
            c.put(date_text(*node.modification_time));
            c.put('"');
        } else {
            c.put("null");
        }
        c.put(node.is_readable ? ",\"isReadable\":true" : ",\"isReadable\":false");
        c.put(state == NodeState::Scanning ? ",\"isScanning\":true" : ",\"isScanning\":false");
        switch (state) {
            case NodeState::MountPoint:
                c.put(",\"isMountPoint\":true");
                break;
            case NodeState::CloudPlaceholder:
                c.put(",\"isCloudPlaceholder\":true");
                break;
            case NodeState::DirectoryAlias:
                c.put(",\"isDirectoryAlias\":true");
                break;
            default:
                break;
        }
        if (state == NodeState::Incomplete || !node.is_readable) c.put(",\"isIncomplete\":true");
        if (state == NodeState::PolicyExcluded) c.put(",\"isPolicyExcluded\":true");
        if (state == NodeState::SmallFilesAggregate) c.put(",\"isSmallFilesAggregate\":true");
        if (aggregate) {
            c.put(",\"aggregateDirectory\":");
            c.escaped(*aggregate);
        }
        return static_cast<std::size_t>(c.at - data);
    });
    return path_clean;
}

// The clean leading bytes of a child's path: those of its parent's path, when the child's
// path begins with it.
std::size_t clean_prefix_of(const TreeNode& child, const TreeNode& parent, std::size_t clean) {
    return std::string_view(child.path).starts_with(std::string_view(parent.path).substr(0, clean))
               ? clean
               : 0;
}

// The tree goes out in chunks of about this size, so no whole document is ever built.
constexpr std::size_t kChunk = 64 * 1024;

bool append_tree(platform::Writer& sink, std::string& chunk, const TreeNode& node,
                 std::size_t clean) {
    const std::size_t own =
        append_node_fields(chunk, node, node.kind, node.size, node.file_count, node.state, clean);
    chunk += ",\"children\":[";
    bool first = true;
    for (const TreeNode& child : node.children) {
        if (!first) chunk += ',';
        first = false;
        if (!append_tree(sink, chunk, child, clean_prefix_of(child, node, own))) return false;
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

namespace {

template <class Text>
void append_tree_json(Text& out, const TreeNode& node, std::size_t clean) {
    const std::size_t own =
        append_node_fields(out, node, node.kind, node.size, node.file_count, node.state, clean);
    out += ",\"children\":[";
    bool first = true;
    for (const TreeNode& child : node.children) {
        if (!first) out += ',';
        first = false;
        append_tree_json(out, child, clean_prefix_of(child, node, own));
    }
    out += "]}";
}

}  // namespace

void append_tree_json(TreeString& out, const TreeNode& node) {
    append_tree_json(out, node, 0);
}

bool write_tree_json(platform::Writer& sink, const TreeNode& node) {
    std::string chunk;
    chunk.reserve(kChunk + 4096);
    if (!append_tree(sink, chunk, node, 0)) return false;
    return chunk.empty() || sink.write(chunk);
}

}  // namespace bramvelt::scan
