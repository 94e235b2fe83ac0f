#include "core/filesystem/io_error.hpp"

#include "platform/os_error.hpp"

namespace bramvelt::filesystem {

IoError IoError::os(int error_number) {
    return IoError{error_number, platform::os_error_text(error_number)};
}

}  // namespace bramvelt::filesystem
