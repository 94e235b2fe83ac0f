#include "core/development/classify.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using testing::DevTest;

struct ClassifyCase {
    std::vector<std::string> files;  // created relative to the fixture ("d/" suffix: folder)
    std::string folder;              // the folder classified
    std::optional<ArtifactClass> expected;
};

class DevClassifyTest : public DevTest {
  protected:
    // classify_artifact_at through the opened parent folder, as the measurement asks.
    static std::optional<ArtifactClass> classify_at(const std::string& path) {
        const std::string parent = path.substr(0, path.rfind('/'));
        const std::string name = path.substr(path.rfind('/') + 1);
        const int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        EXPECT_GE(fd, 0) << parent;
        std::optional<ArtifactClass> result;
        if (const auto st = platform::status_at(fd, name.c_str(), platform::FollowFinalLink::no)) {
            result = classify_artifact_at(fd, name, path, *st);
        }
        ::close(fd);
        return result;
    }
    void build(const std::vector<std::string>& entries) {
        for (const auto& e : entries) {
            if (e.ends_with("/")) {
                tmp.make_dir(e);
            } else {
                tmp.write_file(e, "{}");
            }
        }
    }
};

TEST_F(DevClassifyTest, MarkersAndNamesDecideKindAndTool) {
    const std::vector<ClassifyCase> cases = {
        {{"a/Cargo.toml", "a/target/"}, "a/target", ArtifactClass{CandidateKind::Build, "Cargo"}},
        {{"b/target/"}, "b/target", std::nullopt},
        {{"c/whatever/.rustc_info.json"},
         "c/whatever",
         ArtifactClass{CandidateKind::Build, "Cargo"}},
        {{"d/package.json", "d/build.gradle", "d/build/"},
         "d/build",
         ArtifactClass{CandidateKind::Build, "JavaScript build"}},
        {{"e/build.gradle.kts", "e/build/"},
         "e/build",
         ArtifactClass{CandidateKind::Build, "Gradle"}},
        {{"f/package.json", "f/build/build.ninja"},
         "f/build",
         ArtifactClass{CandidateKind::Build, "CMake/Ninja"}},
        {{"g/out/CMakeCache.txt"}, "g/out", ArtifactClass{CandidateKind::Build, "CMake/Ninja"}},
        {{"h/package.json/", "h/dist/"}, "h/dist", std::nullopt},  // manifest is a folder
        {{"i/.cache/pip/"},
         "i/.cache/pip",
         ArtifactClass{CandidateKind::Cache, "Compiler/package cache"}},
        {{"j/pip/"}, "j/pip", std::nullopt},
        {{"k/.bun/install/cache/"},
         "k/.bun/install/cache",
         ArtifactClass{CandidateKind::Dependencies, "Bun package cache"}},
        {{"l/Library/Developer/Xcode/DerivedData/"},
         "l/Library/Developer/Xcode/DerivedData",
         ArtifactClass{CandidateKind::Build, "Xcode"}},
        {{"m/Other/DerivedData/"}, "m/Other/DerivedData", std::nullopt},
        {{"n/__pycache__/"},
         "n/__pycache__",
         ArtifactClass{CandidateKind::Cache, "Python bytecode"}},
        {{"o/Node_Modules/", "o/package.json"}, "o/Node_Modules", std::nullopt},
        {{"p/Target/", "p/Cargo.toml"}, "p/Target", std::nullopt},
        {{"q/node_modules/", "q/package.json"},
         "q/node_modules",
         ArtifactClass{CandidateKind::Dependencies, "Node packages"}},
        {{"r/node_modules/"}, "r/node_modules", std::nullopt},
        {{"s/.mypy_cache/CACHEDIR.TAG"},
         "s/.mypy_cache",
         ArtifactClass{CandidateKind::Cache, "Python tools"}},
        {{"t/setup.py", "t/.pytest_cache/"},
         "t/.pytest_cache",
         ArtifactClass{CandidateKind::Cache, "Python tools"}},
        {{"u/.ruff_cache/"}, "u/.ruff_cache", std::nullopt},
        {{"v/Package.swift", "v/.build/"},
         "v/.build",
         ArtifactClass{CandidateKind::Build, "SwiftPM"}},
        {{"w/build.gradle", "w/.gradle/"},
         "w/.gradle",
         ArtifactClass{CandidateKind::Cache, "Gradle"}},
        {{"x/package.json", "x/.next/"},
         "x/.next",
         ArtifactClass{CandidateKind::Build, "JavaScript framework"}},
        {{"y/package.json", "y/.turbo/"},
         "y/.turbo",
         ArtifactClass{CandidateKind::Cache, "JavaScript build cache"}},
        {{"z/package.json", "z/dist/"},
         "z/dist",
         ArtifactClass{CandidateKind::Build, "JavaScript build"}},
    };
    for (const auto& c : cases) {
        build(c.files);
        EXPECT_EQ(classify_artifact(tmp / c.folder), c.expected) << c.folder;
        EXPECT_EQ(classify_at(tmp / c.folder), c.expected) << c.folder << " (through its parent)";
    }
}

TEST_F(DevClassifyTest, LinksAreNeverArtifactsButMarkersMayBeLinks) {
    tmp.write_file("a/package.json", "{}");
    tmp.make_dir("real_modules");
    testing::symlink_to(tmp / "real_modules", tmp / "a/node_modules");
    EXPECT_EQ(classify_artifact(tmp / "a/node_modules"), std::nullopt);
    EXPECT_EQ(classify_at(tmp / "a/node_modules"), std::nullopt);

    // A manifest that is a link to a regular file counts; a dangling one does not.
    tmp.write_file("manifest.json", "{}");
    tmp.make_dir("b/dist");
    testing::symlink_to(tmp / "manifest.json", tmp / "b/package.json");
    EXPECT_EQ(classify_artifact(tmp / "b/dist"),
              (ArtifactClass{CandidateKind::Build, "JavaScript build"}));
    EXPECT_EQ(classify_at(tmp / "b/dist"),
              (ArtifactClass{CandidateKind::Build, "JavaScript build"}));
    tmp.make_dir("c/dist");
    testing::symlink_to(tmp / "missing.json", tmp / "c/package.json");
    EXPECT_EQ(classify_artifact(tmp / "c/dist"), std::nullopt);
    EXPECT_EQ(classify_at(tmp / "c/dist"), std::nullopt);

    EXPECT_EQ(classify_artifact("/"), std::nullopt);
    EXPECT_EQ(classify_artifact(tmp / "does-not-exist"), std::nullopt);
}

TEST(DevTempArtifact, LocationAndLowerCasedName) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"/private/tmp/Codex-Run.LOG", true},
        {"/tmp/sub/dir/agent.json", true},
        {"/tmp/agent.txt", false},
        {"/tmp/notes.log", false},
        {"/home/u/tmp/agent.log", false},
        {"/private/var/tmp/agent.log", false},
        {"/var/tmp/esbuild-meta.map", true},
        {"/tmp//cargo.tar.gz", true},
        {"/tmp/\xE2\x84\xAA"
         "as.log",
         true},                            // KELVIN SIGN lower-cases to "k"
        {"/tmp/bu\xC4\xB0ld.log", false},  // capital dotted I keeps its dot
        {"/tmp/agent\xFF.log", true},
        {"/tmp", false},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(is_temp_artifact(path), expected) << path;
    }
}

TEST(DevFolderNames, Tables) {
    for (const char* name : {"sys", "dev", "usr", "bin", ".git", "proc", "sbin", "Trash", "System",
                             ".Trash", ".Trashes", "node_modules", "Applications"}) {
        EXPECT_TRUE(is_skipped_folder_name(name)) << name;
    }
    EXPECT_FALSE(is_skipped_folder_name("Proc"));
    EXPECT_FALSE(is_skipped_folder_name("src"));

    EXPECT_EQ(folder_name_rank("/a/tmp"), 0u);
    EXPECT_EQ(folder_name_rank("/a/kaskel-repos"), 0u);
    EXPECT_EQ(folder_name_rank("/a/.claude"), 1u);
    EXPECT_EQ(folder_name_rank("/a/Library"), 2u);
    EXPECT_EQ(folder_name_rank("/a/zzz"), 3u);
    EXPECT_EQ(folder_name_rank("/a/tm\xFF"), 3u);
    EXPECT_EQ(folder_name_rank("/"), 3u);
}

TEST_F(DevTest, GitDirLayout) {
    tmp.write_file("g/HEAD", "ref: refs/heads/main\n");
    tmp.write_file("g/config", "");
    tmp.make_dir("real_objects");
    testing::symlink_to(tmp / "real_objects", tmp / "g/objects");
    EXPECT_TRUE(is_git_dir(tmp / "g"));

    tmp.make_dir("h/HEAD");
    tmp.write_file("h/config", "");
    tmp.make_dir("h/objects");
    EXPECT_FALSE(is_git_dir(tmp / "h"));
}

TEST(DevBytecodeExtension, OnlyPycAndPyo) {
    EXPECT_FALSE(is_not_bytecode_ext("pyc"));
    EXPECT_FALSE(is_not_bytecode_ext("pyo"));
    EXPECT_TRUE(is_not_bytecode_ext("PYC"));
    EXPECT_TRUE(is_not_bytecode_ext(""));
    EXPECT_TRUE(is_not_bytecode_ext("py"));
}

}  // namespace
}  // namespace bramvelt::development
