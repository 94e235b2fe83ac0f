#include "core/cleanup/item_bytes.hpp"

#include "core/development/entry_facts.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {

std::uint64_t ItemBytes::add(const platform::EntryStatus& status) {
    ++entries_;
    if (status.is_regular() && (status.link_count > 1 || !linked_.empty())) {
        // Once a removal took the file's other links, this one is left with a single
        // link, yet the file was counted with the first.
        const std::pair key{status.device, status.inode};
        const bool counted =
            status.link_count > 1 ? !linked_.insert(key).second : linked_.contains(key);
        if (counted) return 0;
    }
    const std::uint64_t bytes = development::allocated_bytes(status);
    total_ = platform::saturating_add(total_, bytes);
    return bytes;
}

}  // namespace bramvelt::cleanup
