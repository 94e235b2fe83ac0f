#pragma once
// A measured Cargo build output as the development search reports it, for tests of the
// development view.

#include <cstdint>
#include <string>
#include <utility>

#include "core/development/types.hpp"

namespace bramvelt::tui::test_candidates {

inline development::DevCandidate candidate(
    std::string path, std::uint64_t bytes,
    development::Recommendation recommendation = development::Recommendation::Regenerable) {
    development::DevCandidate c;
    c.path = std::move(path);
    c.kind = development::CandidateKind::Build;
    c.tool = "cargo";
    c.allocated_bytes = bytes;
    c.measurement_complete = true;
    c.recommendation = recommendation;
    return c;
}

}  // namespace bramvelt::tui::test_candidates
