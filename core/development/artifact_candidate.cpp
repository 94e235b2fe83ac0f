#include "core/development/artifact_candidate.hpp"

#include "core/development/classify.hpp"
#include "core/development/git_queries.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::development {

std::string recognized_reason(std::string_view tool) {
    return "Recognized " + std::string(tool) +
           " output; regenerating it may require downloads or a rebuild.";
}

void build_artifact_candidate(DevScanState& state, const std::string& path, CandidateKind kind,
                              std::string_view tool, const FolderMeasurement& measurement,
                              const RepoContext* repo) {
    std::vector<std::string> reasons{recognized_reason(tool)};
    bool eligible = measurement.complete;
    if (repo != nullptr) {
        const std::string rel = relative_path(path, repo->root);
        bool untracked = false;
        if (repo->tracked) {
            untracked = true;
            const std::string prefix = rel + "/";
            for (const auto& entry : *repo->tracked) {
                if (entry == rel || entry.starts_with(prefix)) {
                    untracked = false;
                    break;
                }
            }
        }
        const bool ignored =
            run_git_budgeted(state, repo->root, git_query::ignored(rel), GitQuery::Local)
                .has_value();
        eligible = eligible && untracked && ignored;
        if (!(untracked && ignored)) {
            reasons.emplace_back(kReasonOwnershipUnproven);
        }
    } else if (tool == kToolJavaScriptBuild) {
        reasons.emplace_back(kReasonManifestNoProof);
        eligible = false;
    } else if (tool == kToolNodePackages) {
        reasons.emplace_back(kReasonNodeOutsideGit);
        eligible = false;
    }
    if (!measurement.complete) {
        reasons.emplace_back(kReasonMeasurementStopped);
    }
    if (kind == CandidateKind::Temporary) {
        reasons.emplace_back(kReasonTemporaryLocation);
        eligible = false;
    }
    reasons.emplace_back(kReasonAccessEstimate);

    DevCandidate c;
    c.path = platform::to_utf8_lossy(path);
    c.kind = kind;
    c.tool = std::string(tool);
    c.recommendation = eligible ? Recommendation::Regenerable : Recommendation::Review;
    c.reasons = std::move(reasons);
    c.allocated_bytes = measurement.allocated_bytes;
    c.files = measurement.files;
    c.measurement_complete = measurement.complete;
    c.last_modified = measurement.last_modified;
    c.last_access_estimate = measurement.last_access;
    emit_candidate(state, std::move(c));
}

void build_artifact_candidate(DevScanState& state, const std::string& path,
                              const ArtifactClass& artifact, const RepoContext* repo,
                              const FolderMeasurement& measurement) {
    build_artifact_candidate(state, path, artifact.kind, artifact.tool, measurement, repo);
}

std::optional<TrackedFiles> run_ls_files(DevScanState& state, const std::string& folder) {
    const auto out = run_git_budgeted(state, folder, git_query::tracked_files(), GitQuery::Local);
    if (!out) {
        return std::nullopt;
    }
    return parse_tracked_files(*out);
}

}  // namespace bramvelt::development
