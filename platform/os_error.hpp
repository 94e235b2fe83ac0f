#pragma once
// The text of an operating-system failure: the system's description, a blank, and
// "(os error N)", e.g. "No such file or directory (os error 2)".

#include <string>

namespace bramvelt::platform {

std::string os_error_text(int error_number);

// The description alone, without the number.
std::string os_error_description(int error_number);

}  // namespace bramvelt::platform
