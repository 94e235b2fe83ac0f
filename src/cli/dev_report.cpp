#include "src/cli/dev_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "platform/text.hpp"
#include "src/cli/dev_json.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {
namespace {

std::string_view heading(DevCategory category) {
    switch (category) {
        case DevCategory::Rebuildable:
            return "Can be rebuilt";
        case DevCategory::Worktree:
            return "Worktrees to review";
        case DevCategory::Keep:
            break;
    }
    return "Keep for now";
}

std::optional<std::int64_t> as_signed(const std::optional<std::uint64_t>& seconds) {
    if (!seconds) return std::nullopt;
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(*seconds, std::numeric_limits<std::int64_t>::max()));
}

}  // namespace

std::string dev_status_line(const development::DevScanSummary& s) {
    return fmt::format("{} candidates · {} entries · {} folders · {} git checks · {:.1f}s{}{}",
                       s.candidates, s.entries_examined, s.directories_listed, s.git_commands,
                       static_cast<double>(s.elapsed_ms) / 1000.0, s.limited ? " · limited" : "",
                       s.cancelled ? " · stopped" : "");
}

std::string dev_item_line(const development::DevCandidate& c, DevCategory section,
                          std::uint64_t now, const std::optional<std::string>& home) {
    std::string size = format_size(c.allocated_bytes);
    if (!c.measurement_complete) size = "≥" + size;
    const std::string age =
        format_age(as_signed(c.last_modified), static_cast<std::int64_t>(std::min<std::uint64_t>(
                                                   now, std::numeric_limits<std::int64_t>::max())));
    const std::string label =
        section == DevCategory::Keep ? std::string(item_badge(c)) : item_label(c);
    std::string line = fmt::format("  {}  {}  {} {}", align_right(size, 10), align_right(age, 5),
                                   align_left(label, 22), display_path(c.path, home));
    if (c.git && c.git->branch) {
        line += "  ⎇ ";
        line += escape_for_display(*c.git->branch);
    }
    if (section == DevCategory::Worktree && c.git && !c.git->merged_into.empty()) {
        line += " (merged into ";
        for (std::size_t i = 0; i < c.git->merged_into.size(); ++i) {
            if (i > 0) line += ", ";
            line += escape_for_display(c.git->merged_into[i]);
        }
        line += ')';
    }
    return line;
}

bool write_dev_report(platform::Writer& out, const DevReport& report) {
    if (!out.write(fmt::format("Development cleanup · {}\n\n",
                               describe_targets(report.targets, report.home)))) {
        return false;
    }
    const std::size_t top = report.top.value_or(kDefaultReportTop);
    for (const DevCategory category :
         {DevCategory::Rebuildable, DevCategory::Worktree, DevCategory::Keep}) {
        if (!report.categories.empty() &&
            std::ranges::find(report.categories, category) == report.categories.end()) {
            continue;
        }
        std::vector<const development::DevCandidate*> section;
        for (const auto* c : report.items) {
            if (item_category(*c) == category) section.push_back(c);
        }
        std::uint64_t total = 0;
        if (category == DevCategory::Keep) {
            for (const auto* c : section) {
                total = platform::saturating_add(total, c->allocated_bytes);
            }
        } else {
            total = reclaimable_total(section);
        }
        const std::size_t n = section.size();
        if (!out.write(fmt::format("{} — {} item{} · {}\n", heading(category), n, n == 1 ? "" : "s",
                                   format_size(total)))) {
            return false;
        }
        for (std::size_t i = 0; i < n && i < top; ++i) {
            if (!out.write(dev_item_line(*section[i], category, report.now, report.home) + "\n")) {
                return false;
            }
        }
        if (n > top && !out.write(fmt::format("  … {} more (use --top N)\n", n - top))) {
            return false;
        }
        if (!out.write("\n")) return false;
    }
    if (!out.write(
            fmt::format("Space to review: {}\n", format_size(reclaimable_total(report.items)))) ||
        !out.write(dev_status_line(report.summary) + "\n")) {
        return false;
    }
    for (const auto& warning : report.summary.warnings) {
        if (!out.write(fmt::format("note: {}\n", warning))) return false;
    }
    const bool any_reclaimable = std::ranges::any_of(
        report.items, [](const auto* c) { return item_category(*c) != DevCategory::Keep; });
    if (any_reclaimable &&
        !out.write("\nPreview a cleanup with `bramvelt clean`, or review interactively with "
                   "`bramvelt dev -i`.\n")) {
        return false;
    }
    return true;
}

std::string dev_json_document(const DevReport& report) {
    auto candidates = nlohmann::json::array();
    for (const auto* c : report.items) candidates.push_back(serialize_candidate(*c));
    nlohmann::json document = nlohmann::json::object();
    document["candidates"] = std::move(candidates);
    document["reviewableBytes"] = reclaimable_total(report.items);
    document["roots"] = serialize_summary(report.summary)["roots"];
    document["schemaVersion"] = 1;
    document["summary"] = serialize_summary(report.summary);
    return dump_compact(document) + "\n";
}

}  // namespace bramvelt::cli
