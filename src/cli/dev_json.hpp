#pragma once
// JSON records of development finds, shared by the `dev` document and the `clean` dry
// run. Documents are value trees whose objects keep their keys in byte order; every
// text is made valid UTF-8 before it goes in, so printing cannot fail.

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/development/types.hpp"

namespace bramvelt::cli {

// The candidate record: "allocated_bytes", "category", "files", "git", "kind", ...
nlohmann::json serialize_candidate(const development::DevCandidate& candidate);

// The 19-key Git record, or null without Git evidence.
nlohmann::json serialize_git_evidence(const std::optional<development::GitDetail>& git);

// The search summary's fields under their own names.
nlohmann::json serialize_summary(const development::DevScanSummary& summary);

// A JSON string value holding `text` as valid UTF-8 (ill-formed bytes become U+FFFD).
nlohmann::json json_text(std::string_view text);

// Compact, keys sorted, followed by nothing; never throws on text.
std::string dump_compact(const nlohmann::json& document);

}  // namespace bramvelt::cli
