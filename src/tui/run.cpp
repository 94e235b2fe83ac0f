#include "src/tui/run.hpp"

namespace bramvelt::tui {

std::expected<void, std::string> run_tui(const UiOptions&) {
    return std::unexpected(std::string("ui is not available in this build"));
}

}  // namespace bramvelt::tui
