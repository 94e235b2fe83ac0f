#pragma once
// The identity of an authorized item and of every entry below it, keyed by path (the
// item's canonical path, and each entry's folder path joined with its name). Later steps
// compare against it. It can hold millions of entries, so it is stored compactly (paths
// in one buffer, identities as fixed-size records, an open-addressing index) and shared,
// never copied: `std::shared_ptr<const TreeSnapshot>`.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/filesystem/identity.hpp"

namespace bramvelt::cleanup {

// At most this many entries, the item included.
inline constexpr std::size_t kMaxSnapshotEntries = 4'000'000;

class TreeSnapshot {
  public:
    // Records `identity` under `path`, replacing what an earlier call recorded there.
    void insert(std::string_view path, const filesystem::FileIdentity& identity);
    // By exact path.
    std::optional<filesystem::FileIdentity> find(std::string_view path) const;
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

    // Each path with its identity, in the order they were first inserted.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& entry : entries_) visit(path_of(entry), identity_of(entry));
    }

  private:
    struct Entry {
        std::uint64_t path_offset = 0;
        std::uint32_t path_size = 0;
        std::uint8_t kind = 0;  // index into kinds_
        std::uint64_t hash = 0;
        std::int64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::uint64_t links = 0;
        std::uint64_t modified_low = 0;
        std::int64_t modified_high = 0;
    };

    std::string_view path_of(const Entry& entry) const {
        return std::string_view(paths_).substr(entry.path_offset, entry.path_size);
    }
    filesystem::FileIdentity identity_of(const Entry& entry) const;
    void fill(Entry& entry, const filesystem::FileIdentity& identity);
    // The slot holding `path`, or the empty slot where it would go.
    std::size_t slot_for(std::string_view path, std::uint64_t hash) const;
    void grow();

    std::string paths_;
    std::vector<Entry> entries_;
    std::vector<std::string> kinds_;    // the few distinct kind texts met
    std::vector<std::uint32_t> slots_;  // 0 empty, else an index into entries_ plus 1
};

}  // namespace bramvelt::cleanup
