#include "core/host_trash/trash_request.hpp"

#include <nlohmann/json.hpp>

#include "core/host_trash/trash_texts.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::host_trash {

std::expected<std::string, std::string> encode_trash_request(
    const filesystem::FileIdentity& identity, std::string_view path) {
    if (!platform::is_valid_utf8(path) || !platform::is_valid_utf8(identity.kind)) {
        return std::unexpected(std::string(kCannotEncodeRequest));
    }
    // The object's keys print in byte order, which is the request's order.
    nlohmann::json request;
    request["device"] = std::to_string(static_cast<std::uint64_t>(identity.device));
    request["inode"] = std::to_string(identity.inode);
    request["kind"] = identity.kind;
    request["path"] = std::string(path);
    std::string encoded;
    try {
        encoded = request.dump();
    } catch (const nlohmann::json::exception&) {
        return std::unexpected(std::string(kCannotEncodeRequest));
    }
    if (encoded.size() > kMaxTrashRequestBytes) {
        return std::unexpected(std::string(kRequestTooLarge));
    }
    return encoded;
}

}  // namespace bramvelt::host_trash
