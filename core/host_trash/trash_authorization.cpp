#include "core/host_trash/trash_authorization.hpp"

#include "platform/os_error.hpp"
#include "platform/random.hpp"

namespace bramvelt::host_trash {

bool TrashAuthorization::change_state(TrashState from, TrashState to) {
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel);
}

void TrashAuthorization::store_failure(TrashState state, std::string message) {
    {
        const std::lock_guard lock(message_mutex_);
        message_ = std::move(message);
    }
    store_state(state);
}

std::optional<std::string> TrashAuthorization::message() const {
    const std::lock_guard lock(message_mutex_);
    return message_;
}

std::expected<std::string, std::string> new_trash_token() {
    auto token = platform::random_hex(kTokenBytes);
    if (!token) return std::unexpected(platform::os_error_text(token.error()));
    return std::move(*token);
}

bool same_entry(const filesystem::FileIdentity& a, const filesystem::FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.kind == b.kind;
}

bool within_lifetime(const TrashAuthorization& authorization, Clock::time_point now) {
    if (now < authorization.issued_at()) return true;
    const auto whole_seconds =
        std::chrono::duration_cast<std::chrono::seconds>(now - authorization.issued_at());
    return whole_seconds < kAuthorizationLifetime;
}

}  // namespace bramvelt::host_trash
