// Artifact candidates: the recommendation and the exact reasons, outside and inside a
// real Git checkout.

#include "core/development/artifact_candidate.hpp"

#include <gtest/gtest.h>

#include "core/development/state.hpp"
#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using testing::DevTest;
using testing::git;
using Reasons = std::vector<std::string>;

FolderMeasurement complete_measurement() {
    FolderMeasurement m;
    m.allocated_bytes = 4096;
    m.files = 1;
    m.complete = true;
    m.last_modified = 100;
    m.last_access = 200;
    return m;
}

const std::string kAccess(kReasonAccessEstimate);

class DevArtifactTest : public DevTest {
  protected:
    DevCandidate build(testing::StateFixture& f, const std::string& path, CandidateKind kind,
                       std::string_view tool, const FolderMeasurement& m,
                       const RepoContext* repo = nullptr) {
        const auto before = f.sink.candidates().size();
        build_artifact_candidate(f.state, path, kind, tool, m, repo);
        EXPECT_EQ(f.sink.candidates().size(), before + 1);
        return f.sink.candidates().back();
    }
};

TEST_F(DevArtifactTest, OutsideGit) {
    testing::StateFixture f({tmp.path()});
    const auto target =
        build(f, tmp / "p/target", CandidateKind::Build, "Cargo", complete_measurement());
    EXPECT_EQ(target.recommendation, Recommendation::Regenerable);
    EXPECT_EQ(
        target.reasons,
        (Reasons{"Recognized Cargo output; regenerating it may require downloads or a rebuild.",
                 kAccess}));
    EXPECT_EQ(target.kind, CandidateKind::Build);
    EXPECT_EQ(target.allocated_bytes, 4096u);
    EXPECT_EQ(target.last_access_estimate, 200u);
    EXPECT_FALSE(target.git);

    const auto modules = build(f, tmp / "p/node_modules", CandidateKind::Dependencies,
                               "Node packages", complete_measurement());
    EXPECT_EQ(modules.recommendation, Recommendation::Review);
    EXPECT_EQ(modules.reasons, (Reasons{recognized_reason("Node packages"),
                                        std::string(kReasonNodeOutsideGit), kAccess}));

    const auto dist =
        build(f, tmp / "p/dist", CandidateKind::Build, "JavaScript build", complete_measurement());
    EXPECT_EQ(dist.recommendation, Recommendation::Review);
    EXPECT_EQ(dist.reasons, (Reasons{recognized_reason("JavaScript build"),
                                     std::string(kReasonManifestNoProof), kAccess}));

    auto incomplete = complete_measurement();
    incomplete.complete = false;
    const auto partial = build(f, tmp / "p/target2", CandidateKind::Build, "Cargo", incomplete);
    EXPECT_EQ(partial.recommendation, Recommendation::Review);
    EXPECT_EQ(partial.reasons, (Reasons{recognized_reason("Cargo"),
                                        std::string(kReasonMeasurementStopped), kAccess}));

    const auto scratch = build(f, "/tmp/agent.log", CandidateKind::Temporary, "Agent scratch file",
                               complete_measurement());
    EXPECT_EQ(scratch.recommendation, Recommendation::Review);
    EXPECT_EQ(scratch.reasons,
              (Reasons{"Recognized Agent scratch file output; regenerating it may require "
                       "downloads or a rebuild.",
                       std::string(kReasonTemporaryLocation), kAccess}));
    EXPECT_EQ(f.state.summary.git_commands, 0u);
}

TEST_F(DevArtifactTest, InsideGitOwnershipComesFromGit) {
    const std::string repo = make_repo("repo");
    tmp.write_file("repo/.gitignore", "dist/\nbuild/\n");
    tmp.write_file("repo/dist/app.js", "x");
    tmp.write_file("repo/build/keep.txt", "tracked");
    tmp.write_file("repo/distribution/x", "tracked");
    git(repo, {"add", ".gitignore", "distribution/x"});
    git(repo, {"add", "-f", "build/keep.txt"});
    git(repo, {"commit", "-q", "-m", "more"});

    testing::StateFixture f({repo});
    const RepoContext context{repo, run_ls_files(f.state, repo)->paths};

    const auto dist = build(f, repo + "/dist", CandidateKind::Build, "JavaScript build",
                            complete_measurement(), &context);
    EXPECT_EQ(dist.recommendation, Recommendation::Regenerable);
    EXPECT_EQ(dist.reasons, (Reasons{recognized_reason("JavaScript build"), kAccess}));

    const auto commands = f.state.summary.git_commands;
    const auto build_dir = build(f, repo + "/build", CandidateKind::Build, "JavaScript build",
                                 complete_measurement(), &context);
    EXPECT_EQ(build_dir.recommendation, Recommendation::Review);
    EXPECT_EQ(build_dir.reasons, (Reasons{recognized_reason("JavaScript build"),
                                          std::string(kReasonOwnershipUnproven), kAccess}));
    EXPECT_EQ(f.state.summary.git_commands, commands + 1);  // the ignore check still runs

    // Not ignored at all.
    tmp.make_dir("repo/out");
    const auto out = build(f, repo + "/out", CandidateKind::Build, "JavaScript build",
                           complete_measurement(), &context);
    EXPECT_EQ(out.recommendation, Recommendation::Review);

    // Without a tracked list nothing is proven, although Git says it is ignored.
    const RepoContext unknown{repo, std::nullopt};
    const auto blind = build(f, repo + "/dist", CandidateKind::Build, "JavaScript build",
                             complete_measurement(), &unknown);
    EXPECT_EQ(blind.recommendation, Recommendation::Review);

    auto incomplete = complete_measurement();
    incomplete.complete = false;
    const auto both =
        build(f, repo + "/build", CandidateKind::Build, "Gradle", incomplete, &context);
    EXPECT_EQ(both.reasons,
              (Reasons{recognized_reason("Gradle"), std::string(kReasonOwnershipUnproven),
                       std::string(kReasonMeasurementStopped), kAccess}));
}

TEST_F(DevArtifactTest, SpentBudgetLeavesOwnershipUnproven) {
    const std::string repo = make_repo("repo");
    tmp.write_file("repo/.gitignore", "dist/\n");
    tmp.make_dir("repo/dist");
    testing::StateFixture f({repo});
    const RepoContext context{repo, std::vector<std::string>{"README"}};
    f.cancel->store(true);
    const auto dist = build(f, repo + "/dist", CandidateKind::Build, "JavaScript build",
                            complete_measurement(), &context);
    EXPECT_EQ(dist.recommendation, Recommendation::Review);
}

}  // namespace
}  // namespace bramvelt::development
