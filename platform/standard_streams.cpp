#include "platform/standard_streams.hpp"

#include <unistd.h>

namespace bramvelt::platform {

static_assert(kStandardInput == STDIN_FILENO && kStandardOutput == STDOUT_FILENO &&
              kStandardError == STDERR_FILENO);

bool is_terminal(int fd) {
    return ::isatty(fd) == 1;
}

}  // namespace bramvelt::platform
