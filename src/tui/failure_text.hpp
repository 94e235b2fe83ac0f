#pragma once
// The text of a failure that arrived as an exception, for the failure value that carries
// it to the user. Made even when memory has run out.

#include <exception>
#include <string>
#include <string_view>

namespace bramvelt::tui {

// `what` (this program's fixed text for the failure), ": " and what ran out or what the
// exception says ("scan worker failed: out of memory"); with `what` empty, that reason
// alone. When there is no memory left for the text, "out of memory" alone.
std::string failure_text(std::string_view what, const std::exception_ptr& error) noexcept;

}  // namespace bramvelt::tui
