#pragma once
// The `dev` command's text report: one section per category with its item lines, the
// space a cleanup could reclaim, the search's status line and its notes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/development/types.hpp"
#include "platform/writer.hpp"
#include "src/cli/dev_category.hpp"

namespace bramvelt::cli {

inline constexpr std::size_t kDefaultReportTop = 15;

struct DevReport {
    std::vector<std::string> targets;  // the resolved folders ("/": usual places)
    std::vector<const development::DevCandidate*> items;  // listed items, in list order
    development::DevScanSummary summary;
    std::vector<DevCategory> categories;  // empty: every category
    std::optional<std::size_t> top;       // items per section; absent: 15
    std::uint64_t now = 0;                // Unix seconds, for ages
    std::optional<std::string> home;      // shown as "~"
};

// "{candidates} candidates · {entries} entries · ... · {seconds}s[ · limited][ · stopped]"
std::string dev_status_line(const development::DevScanSummary& summary);

// One item line (without its newline) as shown in the section of `section`.
std::string dev_item_line(const development::DevCandidate& candidate, DevCategory section,
                          std::uint64_t now, const std::optional<std::string>& home);

// Writes the report line by line; stops at the first failed write and returns false.
bool write_dev_report(platform::Writer& out, const DevReport& report);

// The JSON document of the listed items, with its line feed.
std::string dev_json_document(const DevReport& report);

}  // namespace bramvelt::cli
