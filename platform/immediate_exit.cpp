#include "platform/immediate_exit.hpp"

#include <unistd.h>

namespace bramvelt::platform {

void immediate_exit(int status) {
    ::_exit(status);
}

}  // namespace bramvelt::platform
