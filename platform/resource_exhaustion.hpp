#pragma once
// Running out of memory, or of what a new thread needs, arrives as an exception
// (std::bad_alloc, or std::system_error from a thread's start). These turn it into the
// text a failure value carries, so that no such exception ends the program unexplained.

#include <exception>
#include <string_view>

namespace bramvelt::platform {

inline constexpr std::string_view kOutOfMemory = "out of memory";
inline constexpr std::string_view kOutOfThreadResources =
    "out of memory or system resources (a thread could not start)";

// The text for `error` when it tells that memory or a thread's resources ran out; empty
// for any other exception (and for none).
std::string_view resource_exhaustion_text(const std::exception_ptr& error) noexcept;

// The text for any exception: the one above, else what the exception says of itself,
// else a fixed text. Valid while `error` lives.
std::string_view exception_text(const std::exception_ptr& error) noexcept;

}  // namespace bramvelt::platform
