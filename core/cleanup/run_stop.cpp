#include "core/cleanup/run_stop.hpp"

#include <exception>

#include "platform/resource_exhaustion.hpp"

namespace bramvelt::cleanup {

std::string stop_run_for_exception(const CancelFlag& cancel) {
    stop_run(cancel);
    return std::string(platform::exception_text(std::current_exception()));
}

}  // namespace bramvelt::cleanup
