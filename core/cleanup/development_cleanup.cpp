#include "core/cleanup/development_cleanup.hpp"

namespace bramvelt::cleanup {

// Placeholder until the development cleanup run is built: refuses every request before
// anything is touched.
void run_dev_cleanup(const DevCleanupRequest&, const CancelFlag&,
                     std::shared_ptr<host_trash::TrashRegistry>, const CleanupEventSink& sink) {
    sink(Failed{std::string(kCodeDevelopmentPreflight),
                "Development cleanup is not available in this build"});
}

}  // namespace bramvelt::cleanup
