#pragma once
// The program's last word when a failure escaped everything that should have told it
// (an exception in a thread, or one thrown where nothing can catch): a line on standard
// error and status 1, never the abort a terminating exception would bring.

#include <exception>
#include <string_view>

namespace bramvelt::platform {

// Writes `prefix`, `text` and a line feed to standard error without allocating; a write
// that fails is left at that.
void write_error_line(std::string_view prefix, std::string_view text) noexcept;

// The same with the failure's text (see resource_exhaustion.hpp).
void write_failure_line(std::string_view prefix, const std::exception_ptr& error) noexcept;

// From now on std::terminate writes the failure line of the exception under way (with
// `prefix`, which must live as long as the process) and ends the process at once with
// status 1. A handler installed later may chain to this one.
void exit_on_terminate(std::string_view prefix);

}  // namespace bramvelt::platform
