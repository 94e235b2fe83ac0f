#include "core/cleanup/tree_snapshot.hpp"

#include <functional>

namespace bramvelt::cleanup {
namespace {

constexpr std::size_t kFirstSlots = 64;

std::uint64_t hash_path(std::string_view path) {
    return std::hash<std::string_view>{}(path);
}

}  // namespace

filesystem::FileIdentity TreeSnapshot::identity_of(const Entry& entry) const {
    filesystem::FileIdentity identity;
    identity.modified_ns = static_cast<filesystem::int128_t>(
        (static_cast<unsigned __int128>(static_cast<std::uint64_t>(entry.modified_high)) << 64) |
        entry.modified_low);
    identity.kind = kinds_[entry.kind];
    identity.device = entry.device;
    identity.inode = entry.inode;
    identity.size = entry.size;
    identity.links = entry.links;
    return identity;
}

void TreeSnapshot::fill(Entry& entry, const filesystem::FileIdentity& identity) {
    std::size_t kind = 0;
    while (kind < kinds_.size() && kinds_[kind] != identity.kind) ++kind;
    if (kind == kinds_.size()) kinds_.push_back(identity.kind);
    const auto modified = static_cast<unsigned __int128>(identity.modified_ns);
    entry.kind = static_cast<std::uint8_t>(kind);
    entry.device = identity.device;
    entry.inode = identity.inode;
    entry.size = identity.size;
    entry.links = identity.links;
    entry.modified_low = static_cast<std::uint64_t>(modified);
    entry.modified_high = static_cast<std::int64_t>(static_cast<std::uint64_t>(modified >> 64));
}

std::size_t TreeSnapshot::slot_for(std::string_view path, std::uint64_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t held = slots_[slot];
        if (held == 0) return slot;
        const Entry& entry = entries_[held - 1];
        if (entry.hash == hash && path_of(entry) == path) return slot;
    }
}

void TreeSnapshot::grow() {
    std::vector<std::uint32_t> old = std::move(slots_);
    slots_.assign(old.empty() ? kFirstSlots : old.size() * 2, 0);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint32_t held : old) {
        if (held == 0) continue;
        std::size_t slot = entries_[held - 1].hash & mask;
        while (slots_[slot] != 0) slot = (slot + 1) & mask;
        slots_[slot] = held;
    }
}

void TreeSnapshot::insert(std::string_view path, const filesystem::FileIdentity& identity) {
    // At most three quarters full, so a probe ends soon.
    if ((entries_.size() + 1) * 4 > slots_.size() * 3) grow();
    const std::uint64_t hash = hash_path(path);
    const std::size_t slot = slot_for(path, hash);
    if (slots_[slot] != 0) {
        fill(entries_[slots_[slot] - 1], identity);
        return;
    }
    Entry entry;
    entry.path_offset = paths_.size();
    entry.path_size = static_cast<std::uint32_t>(path.size());
    entry.hash = hash;
    fill(entry, identity);
    paths_.append(path);
    entries_.push_back(entry);
    slots_[slot] = static_cast<std::uint32_t>(entries_.size());
}

std::optional<filesystem::FileIdentity> TreeSnapshot::find(std::string_view path) const {
    if (slots_.empty()) return std::nullopt;
    const std::uint32_t held = slots_[slot_for(path, hash_path(path))];
    if (held == 0) return std::nullopt;
    return identity_of(entries_[held - 1]);
}

}  // namespace bramvelt::cleanup
