#pragma once
// Memory that runs out in the middle of a permanent removal, on purpose: once a chosen
// number of entries below a folder have gone, the next removal step throws
// std::bad_alloc. For as long as the scope lives.

#include <new>
#include <string>
#include <string_view>

#include "core/cleanup/permanent_removal.hpp"
#include "core/development/paths.hpp"

namespace bramvelt::testing {

class RemovalRunsOutOfMemory {
  public:
    // Throws once `entries` entries inside `folder` (component-wise) have been removed.
    RemovalRunsOutOfMemory(std::string folder, int entries) {
        folder_ = std::move(folder);
        left_ = entries;
        cleanup::set_after_entry_removed_hook_for_testing(&removed);
    }
    ~RemovalRunsOutOfMemory() { cleanup::set_after_entry_removed_hook_for_testing(nullptr); }
    RemovalRunsOutOfMemory(const RemovalRunsOutOfMemory&) = delete;
    RemovalRunsOutOfMemory& operator=(const RemovalRunsOutOfMemory&) = delete;

  private:
    static void removed(std::string_view path) {
        if (development::path_inside(path, folder_) && --left_ == 0) throw std::bad_alloc();
    }
    static inline std::string folder_;
    static inline int left_ = 0;
};

}  // namespace bramvelt::testing
