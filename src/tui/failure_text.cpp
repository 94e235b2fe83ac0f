#include "src/tui/failure_text.hpp"

#include <fmt/format.h>

#include "platform/resource_exhaustion.hpp"

namespace bramvelt::tui {

// The last resort must not allocate: it fits the string's own storage.
static_assert(platform::kOutOfMemory.size() <= std::string().capacity());

std::string failure_text(std::string_view what, const std::exception_ptr& error) noexcept {
    const std::string_view reason = platform::exception_text(error);
    try {
        if (what.empty()) return std::string(reason);
        return fmt::format("{}: {}", what, reason);
    } catch (...) {
        return std::string(platform::kOutOfMemory);
    }
}

}  // namespace bramvelt::tui
