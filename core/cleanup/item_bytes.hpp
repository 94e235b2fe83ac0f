#pragma once
// An item's bytes as the review measures them: the space every entry takes on disk
// (folders and links included), a file with several links counted once. So what a run
// reports for an unchanged item is what the review promised for it.

#include <cstdint>

#include "core/development/measure.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::cleanup {

class ItemBytes {
  public:
    // Counts one entry; returns the bytes it added (0 for a further link of a file
    // already counted, even when removing the others left it with one link).
    std::uint64_t add(const platform::EntryStatus& status);

    std::uint64_t total() const { return total_; }
    // Entries counted, whatever they added: a removal that counted one removed something.
    std::uint64_t entries() const { return entries_; }

  private:
    std::uint64_t total_ = 0;  // saturating
    std::uint64_t entries_ = 0;
    development::HardLinkSet linked_;
};

}  // namespace bramvelt::cleanup
