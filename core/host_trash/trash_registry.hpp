#pragma once
// The run's authorizations by item id, shared between the cleanup step that registers
// them and the front end's sink that looks them up. Its lock is held only to insert,
// look up or remove, never while an item moves.

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/host_trash/trash_authorization.hpp"

namespace bramvelt::host_trash {

class TrashRegistry {
  public:
    // Replaces any authorization registered under the same id.
    void insert(const std::string& item_id, std::shared_ptr<TrashAuthorization> authorization);
    // A shared hold of the authorization, or null when none is registered.
    std::shared_ptr<TrashAuthorization> find(std::string_view item_id) const;
    void remove(std::string_view item_id);

  private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<TrashAuthorization>> entries_;
};

// The step's hold on one registry entry: the destructor removes the entry, on every way
// out of the step. Does nothing without a registry.
class TrashRegistration {
  public:
    TrashRegistration(std::shared_ptr<TrashRegistry> registry, std::string item_id)
        : registry_(std::move(registry)), item_id_(std::move(item_id)) {}
    ~TrashRegistration();
    TrashRegistration(const TrashRegistration&) = delete;
    TrashRegistration& operator=(const TrashRegistration&) = delete;

  private:
    std::shared_ptr<TrashRegistry> registry_;
    std::string item_id_;
};

}  // namespace bramvelt::host_trash
