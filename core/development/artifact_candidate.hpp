#pragma once
// A recognised artifact folder or scratch file becomes a candidate: "regenerable" only
// when it is completely measured, no scratch file, and either Git proves the build owns
// it (nothing tracked at or under it, ignored) or, outside Git, its kind needs no proof.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/classify.hpp"
#include "core/development/measure.hpp"
#include "core/development/tracked_files.hpp"

namespace bramvelt::development {

struct DevScanState;

inline constexpr std::string_view kReasonOwnershipUnproven =
    "Contains tracked files, is not ignored by Git, or its ownership check failed.";
inline constexpr std::string_view kReasonManifestNoProof =
    "A package manifest and folder name alone do not prove build ownership outside Git.";
inline constexpr std::string_view kReasonNodeOutsideGit =
    "Outside a Git project, nothing proves these packages can be installed again; installed "
    "tools and extensions may need them.";
inline constexpr std::string_view kReasonMeasurementStopped =
    "Measurement stopped or encountered inaccessible content.";
inline constexpr std::string_view kReasonTemporaryLocation =
    "Temporary location alone does not prove that its contents can be recreated.";
inline constexpr std::string_view kReasonAccessEstimate =
    "Access time is an estimate; filesystem mount settings and background readers affect it.";

// "Recognized {tool} output; regenerating it may require downloads or a rebuild."
std::string recognized_reason(std::string_view tool);

// Builds the candidate and hands it to emit_candidate.
void build_artifact_candidate(DevScanState& state, const std::string& path, CandidateKind kind,
                              std::string_view tool, const FolderMeasurement& measurement,
                              const RepoContext* repo);

void build_artifact_candidate(DevScanState& state, const std::string& path,
                              const ArtifactClass& artifact, const RepoContext* repo,
                              const FolderMeasurement& measurement);

// The tracked files of the checkout at `folder` (`git ls-files -v -z`), or nothing when
// the listing fails.
std::optional<TrackedFiles> run_ls_files(DevScanState& state, const std::string& folder);

}  // namespace bramvelt::development
