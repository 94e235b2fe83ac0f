#include "core/host_trash/trash_registry.hpp"

namespace bramvelt::host_trash {

void TrashRegistry::insert(const std::string& item_id,
                           std::shared_ptr<TrashAuthorization> authorization) {
    const std::lock_guard lock(mutex_);
    entries_.insert_or_assign(item_id, std::move(authorization));
}

std::shared_ptr<TrashAuthorization> TrashRegistry::find(std::string_view item_id) const {
    const std::lock_guard lock(mutex_);
    const auto it = entries_.find(std::string(item_id));
    return it == entries_.end() ? nullptr : it->second;
}

void TrashRegistry::remove(std::string_view item_id) {
    const std::lock_guard lock(mutex_);
    entries_.erase(std::string(item_id));
}

TrashRegistration::~TrashRegistration() {
    if (registry_) registry_->remove(item_id_);
}

}  // namespace bramvelt::host_trash
