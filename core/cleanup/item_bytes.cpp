#include "core/cleanup/item_bytes.hpp"

#include "core/development/entry_facts.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {

std::uint64_t ItemBytes::add(const platform::EntryStatus& status) {
    ++entries_;
    if (status.is_regular() && status.link_count > 1 &&
        !linked_.insert({status.device, status.inode}).second) {
        return 0;
    }
    const std::uint64_t bytes = development::allocated_bytes(status);
    total_ = platform::saturating_add(total_, bytes);
    return bytes;
}

}  // namespace bramvelt::cleanup
