#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/removal_rules.hpp"
#include "core/filesystem/identity.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kCrossesFilesystem =
    "Cleanup never crosses filesystem boundaries; choose that filesystem separately";
inline constexpr std::string_view kSpecialEntry =
    "Special filesystem entries cannot be cleaned by this service";
inline constexpr std::string_view kCloudPlaceholder =
    "Online-only cloud placeholders cannot be cleaned as local data";

// An entry (the item itself included) changed after the rules' moment fails with the
// development run's "changed during its safety check" text; without a moment, none does.
std::expected<void, std::string> require_unchanged(const platform::EntryStatus& status,
                                                   const RemovalRules& rules);

// Judges one entry below an item from its status (final link not followed): another file
// system (another device, or a mount root such as a bind mount of the same device), a
// special file, an online-only placeholder, an entry changed after the rules' moment, or
// an entry the rules' policy refuses or that needs an acknowledgement not given, each
// fails with its text. Otherwise the entry's identity, its device being `root_device`.
std::expected<filesystem::FileIdentity, std::string> classify_removal_entry(
    std::string_view path, const platform::EntryStatus& status, std::uint64_t root_device,
    const RemovalRules& rules);

}  // namespace bramvelt::cleanup
