#include "src/cli/dev_json.hpp"

#include <vector>

#include "platform/utf8.hpp"
#include "src/cli/dev_view_model.hpp"

namespace bramvelt::cli {
namespace {

nlohmann::json text_array(const std::vector<std::string>& texts) {
    auto array = nlohmann::json::array();
    for (const auto& text : texts) array.push_back(json_text(text));
    return array;
}

template <typename T>
nlohmann::json optional_value(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json optional_text(const std::optional<std::string>& value) {
    return value ? json_text(*value) : nlohmann::json(nullptr);
}

}  // namespace

nlohmann::json json_text(std::string_view text) {
    return nlohmann::json(platform::to_utf8_lossy(text));
}

std::string dump_compact(const nlohmann::json& document) {
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json serialize_git_evidence(const std::optional<development::GitDetail>& git) {
    if (!git) return nullptr;
    const auto& g = *git;
    nlohmann::json record = nlohmann::json::object();
    record["branch"] = optional_text(g.branch);
    record["cached_remote_refs"] = text_array(g.cached_remote_refs);
    switch (g.dirty) {
        case development::DirtyState::No:
            record["dirty"] = false;
            break;
        case development::DirtyState::Yes:
            record["dirty"] = true;
            break;
        case development::DirtyState::NotEstablished:
            record["dirty"] = nullptr;
            break;
    }
    record["head"] = optional_text(g.head);
    record["ignored_unknown"] = g.ignored_unknown;
    record["last_commit"] = optional_value(g.last_commit);
    record["last_fetch"] = optional_value(g.last_fetch);
    record["last_git_activity"] = optional_value(g.last_git_activity);
    record["locked"] = g.locked;
    record["merged_into"] = text_array(g.merged_into);
    record["modified"] = g.modified;
    record["operation_in_progress"] = g.operation_in_progress;
    record["partial_history"] = g.partial_history;
    record["remote_checked_at"] = optional_value(g.remote_checked_at);
    record["repository"] = json_text(g.repository);
    record["shallow"] = g.shallow;
    record["staged"] = g.staged;
    record["untracked"] = g.untracked;
    record["verified_remote_refs"] = text_array(g.verified_remote_refs);
    return record;
}

nlohmann::json serialize_candidate(const development::DevCandidate& c) {
    nlohmann::json record = nlohmann::json::object();
    record["allocated_bytes"] = c.allocated_bytes;
    record["category"] = std::string(category_word(item_category(c)));
    record["files"] = c.files;
    record["git"] = serialize_git_evidence(c.git);
    record["kind"] = std::string(development::kind_word(c.kind));
    record["last_access_estimate"] = optional_value(c.last_access_estimate);
    record["last_modified"] = optional_value(c.last_modified);
    record["measurement_complete"] = c.measurement_complete;
    record["path"] = json_text(c.path);
    record["reasons"] = text_array(c.reasons);
    record["recommendation"] = std::string(development::recommendation_word(c.recommendation));
    record["status"] = std::string(item_badge(c));
    record["tool"] = json_text(c.tool);
    return record;
}

nlohmann::json serialize_summary(const development::DevScanSummary& s) {
    nlohmann::json record = nlohmann::json::object();
    record["cancelled"] = s.cancelled;
    record["candidate_bytes"] = s.candidate_bytes;
    record["candidates"] = s.candidates;
    record["directories_listed"] = s.directories_listed;
    record["elapsed_ms"] = s.elapsed_ms;
    record["entries_examined"] = s.entries_examined;
    record["git_commands"] = s.git_commands;
    record["limited"] = s.limited;
    record["roots"] = text_array(s.roots);
    record["skipped_paths"] = s.skipped_paths;
    record["warnings"] = text_array(s.warnings);
    return record;
}

}  // namespace bramvelt::cli
