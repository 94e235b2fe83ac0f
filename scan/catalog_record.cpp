#include "scan/catalog_record.hpp"

#include <array>
#include <cstring>

#include "platform/utf8.hpp"

namespace bramvelt::scan {
namespace {

constexpr std::string_view kInvalidRecordText = "Invalid catalog file record";
constexpr std::string_view kInvalidFlagText = "Invalid catalog flag";
constexpr std::string_view kInvalidUtf8Text = "Invalid catalog UTF-8";
constexpr std::uint64_t kFixedLength = 31;     // everything but the path, without identity
constexpr std::uint64_t kIdentityLength = 40;  // device, inode, link count, allocated size

void put_u64(char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint64_t get_u64(const char* in) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    }
    return value;
}

CatalogResult<bool> read_flag(const char byte) {
    if (byte == 0) return false;
    if (byte == 1) return true;
    return std::unexpected(std::string(kInvalidFlagText));
}

// Walks the components of a path as a path library does: a leading "/" is the root,
// empty components and "." after the first are skipped.
class Components {
  public:
    explicit Components(std::string_view path) : rest_(path) {
        if (rest_.starts_with('/')) {
            root_ = true;
        } else if (rest_ == "." || rest_.starts_with("./")) {
            current_dot_ = true;
            rest_.remove_prefix(1);
        }
    }
    // The next component; the root is "/".
    std::optional<std::string_view> next() {
        if (root_) {
            root_ = false;
            while (rest_.starts_with('/')) rest_.remove_prefix(1);
            return std::string_view("/");
        }
        if (current_dot_) {
            current_dot_ = false;
            return std::string_view(".");
        }
        for (;;) {
            while (rest_.starts_with('/')) rest_.remove_prefix(1);
            if (rest_.empty()) return std::nullopt;
            const auto slash = rest_.find('/');
            const std::string_view part = rest_.substr(0, slash);
            rest_.remove_prefix(slash == std::string_view::npos ? rest_.size() : slash);
            if (part != ".") return part;
        }
    }

  private:
    std::string_view rest_;
    bool root_ = false;
    bool current_dot_ = false;
};

std::size_t component_count(std::string_view path) {
    Components parts(path);
    std::size_t n = 0;
    while (parts.next()) ++n;
    return n;
}

// Whether the path without its last component equals the directory, by components.
bool parent_is(std::string_view path, std::string_view directory) {
    const std::size_t n = component_count(path);
    // A path that is only a root (or nothing) has no parent.
    if (n == 0 || (n == 1 && path.starts_with('/'))) return false;
    Components file(path);
    Components dir(directory);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const auto a = file.next();
        const auto b = dir.next();
        if (!b || *a != *b) return false;
    }
    return !dir.next().has_value();
}

}  // namespace

bool catalog_record_precedes(const TreeNode& a, const TreeNode& b) {
    if (a.size != b.size) return a.size > b.size;
    // char_traits<char>::compare orders bytes as unsigned values, as memcmp does.
    return a.path < b.path;
}

std::uint64_t catalog_record_length(const RetainedChild& record) {
    return record.node.path.size() + kFixedLength + (record.identity ? kIdentityLength : 0);
}

CatalogResult<void> encode_catalog_record(CatalogOutput& out, const RetainedChild& record) {
    const TreeNode& node = record.node;
    if (node.path.size() > kCatalogTextCapacity) {
        return std::unexpected(std::string(kCatalogTextCapacityText));
    }
    std::array<char, 4> length{};
    const auto n = static_cast<std::uint32_t>(node.path.size());
    for (int i = 0; i < 4; ++i) length[i] = static_cast<char>((n >> (8 * i)) & 0xFF);

    std::array<char, kFixedLength - 4 + kIdentityLength> tail{};
    put_u64(&tail[0], static_cast<std::uint64_t>(node.size));
    put_u64(&tail[8], static_cast<std::uint64_t>(node.file_count));
    tail[16] = node.modification_time ? 1 : 0;
    put_u64(&tail[17], static_cast<std::uint64_t>(node.modification_time.value_or(0)));
    tail[25] = node.is_readable ? 1 : 0;
    tail[26] = record.identity ? 1 : 0;
    std::size_t tail_length = kFixedLength - 4;
    if (const auto& id = record.identity) {
        put_u64(&tail[27], id->device);
        put_u64(&tail[35], static_cast<std::uint64_t>(id->inode));
        put_u64(&tail[43], static_cast<std::uint64_t>(id->inode >> 64));
        put_u64(&tail[51], id->link_count);
        put_u64(&tail[59], id->allocated_size);
        tail_length += kIdentityLength;
    }
    if (auto ok = out.write(std::string_view(length.data(), length.size())); !ok) return ok;
    if (auto ok = out.write(node.path); !ok) return ok;
    return out.write(std::string_view(tail.data(), tail_length));
}

CatalogResult<std::optional<RetainedChild>> read_catalog_record(CatalogInput& in,
                                                                std::uint64_t& consumed) {
    std::array<char, 4> length{};
    auto first = in.read_byte(length[0]);
    if (!first) return std::unexpected(std::move(first.error()));
    if (!*first) return std::optional<RetainedChild>();
    if (auto ok = in.read_exact(std::span(length).subspan(1)); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    std::uint32_t n = 0;
    for (int i = 0; i < 4; ++i) {
        n |= static_cast<std::uint32_t>(static_cast<unsigned char>(length[i])) << (8 * i);
    }
    if (n > kCatalogTextCapacity) return std::unexpected(std::string(kCatalogTextCapacityText));

    RetainedChild record;
    TreeNode& node = record.node;
    node.kind = NodeKind::File;
    node.state = NodeState::Normal;
    node.path.resize(n);
    if (auto ok = in.read_exact(std::span(node.path.data(), n)); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    if (!platform::is_valid_utf8(node.path)) {
        return std::unexpected(std::string(kInvalidUtf8Text));
    }
    std::array<char, kFixedLength - 4 + kIdentityLength> tail{};
    if (auto ok = in.read_exact(std::span(tail).first(kFixedLength - 4)); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    node.size = static_cast<std::int64_t>(get_u64(&tail[0]));
    node.file_count = static_cast<std::int64_t>(get_u64(&tail[8]));
    const auto has_time = read_flag(tail[16]);
    if (!has_time) return std::unexpected(has_time.error());
    if (*has_time) node.modification_time = static_cast<std::int64_t>(get_u64(&tail[17]));
    const auto readable = read_flag(tail[25]);
    if (!readable) return std::unexpected(readable.error());
    node.is_readable = *readable;
    const auto has_identity = read_flag(tail[26]);
    if (!has_identity) return std::unexpected(has_identity.error());
    if (*has_identity) {
        if (auto ok = in.read_exact(std::span(tail).subspan(27, kIdentityLength)); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        CatalogIdentity id;
        id.device = get_u64(&tail[27]);
        id.inode = static_cast<CatalogInode>(get_u64(&tail[35])) |
                   (static_cast<CatalogInode>(get_u64(&tail[43])) << 64);
        id.link_count = get_u64(&tail[51]);
        id.allocated_size = get_u64(&tail[59]);
        record.identity = id;
    }
    consumed = catalog_record_length(record);
    return std::optional<RetainedChild>(std::move(record));
}

CatalogResult<void> validate_catalog_record(const TreeNode& node, std::string_view directory) {
    const bool valid = node.path.size() <= kCatalogTextCapacity &&
                       node.path.find('\0') == std::string::npos && node.kind == NodeKind::File &&
                       node.children.empty() && node.state == NodeState::Normal && node.size >= 0 &&
                       node.file_count == 1 && parent_is(node.path, directory);
    if (!valid) return std::unexpected(std::string(kInvalidRecordText));
    return {};
}

}  // namespace bramvelt::scan
