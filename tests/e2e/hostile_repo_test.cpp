// `bramvelt dev` on repositories that name programs in their own configuration: none of
// them may start while the inspection only asks and reads, and the evidence of ordinary
// checkouts stays what it was. Also the start from a parent that ignores SIGCHLD.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/as_user.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

class HostileRepos : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string home = tmp.make_dir("home");
    std::string ws = tmp.make_dir("home/ws");
    std::string marker = tmp / "marker";

    std::vector<std::string> environment(const std::string& path_prefix = "") const {
        const char* path = std::getenv("PATH");
        return {"HOME=" + home, "PATH=" + path_prefix + (path ? path : "/usr/bin:/bin"),
                "GIT_CONFIG_NOSYSTEM=1", "GIT_CONFIG_GLOBAL=/dev/null", "LC_ALL=C"};
    }

    std::string git(const std::string& dir, std::vector<std::string> args,
                    const std::string& input = "") const {
        std::vector<std::string> full{"-c", "user.name=Dev",
                                      "-c", "user.email=dev@example.com",
                                      "-c", "init.defaultBranch=main",
                                      "-c", "protocol.file.allow=always",
                                      "-C", dir};
        full.insert(full.end(), args.begin(), args.end());
        RunOptions options;
        options.environment = environment();
        options.input = input;
        const auto r = run_process("/usr/bin/git", full, options);
        EXPECT_EQ(r.status, 0) << "git " << args.front() << ": " << r.err;
        std::string out = r.out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

    // A repository with one committed file, README, and optionally .gitattributes.
    std::string repo(const std::string& rel, const std::string& attributes = "") {
        const std::string dir = tmp.make_dir(rel);
        git(dir, {"init", "-q"});
        tmp.write_file(rel + "/README", "hello\n");
        if (!attributes.empty()) tmp.write_file(rel + "/.gitattributes", attributes);
        git(dir, {"add", "."});
        git(dir, {"commit", "-q", "-m", "first"});
        return dir;
    }

    // A program that only notes that it ran, under the given name.
    std::string probe(const std::string& path) const {
        std::ofstream(path) << "#!/bin/sh\necho \"$0 $*\" >> " << marker << "\nexit 0\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }

    // An old modification time: Git no longer trusts its index and hashes the file.
    static void looks_changed(const std::string& file) {
        const struct timespec times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    }

    std::string marker_text() const {
        std::ifstream in(marker);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    ProcessResult dev(std::vector<std::string> args, const std::string& path_prefix = "") const {
        args.insert(args.begin(), "dev");
        RunOptions options;
        options.environment = environment(path_prefix);
        options.cwd = home;
        return run_bramvelt(args, options);
    }

    static std::map<std::string, nlohmann::json> by_path(const nlohmann::json& doc) {
        std::map<std::string, nlohmann::json> out;
        for (const auto& c : doc["candidates"]) out[c["path"]] = c;
        return out;
    }
};

TEST_F(HostileRepos, NoProgramTheRepositoryNamesRunsDuringInspection) {
    const std::string filter_probe = probe(tmp / "filter-probe");

    // Control: an ordinary repository and a clean linked worktree merged into main.
    const std::string plain = repo("home/ws/plain");
    git(plain, {"worktree", "add", "-q", ws + "/plain-wt", "-b", "topic"});

    // An ignored clone inside a repository is no submodule: the status stays established.
    const std::string nesting = repo("home/ws/nesting");
    tmp.write_file("home/ws/nesting/.gitignore", "vendor/\n");
    git(nesting, {"add", ".gitignore"});
    git(nesting, {"commit", "-q", "-m", "ignore vendor"});
    repo("home/ws/nesting/vendor/lib");

    // A clean filter in the repository's configuration, on a file that looks changed.
    const std::string filtered = repo("home/ws/filtered", "* filter=probe\n");
    git(filtered, {"config", "filter.probe.clean", filter_probe});
    looks_changed(filtered + "/README");

    // The same through a file the configuration includes: only Git's listing tells.
    const std::string included = repo("home/ws/included", "* filter=probe\n");
    tmp.write_file("included.cfg", "[filter \"probe\"]\n\tclean = " + filter_probe + "\n");
    git(included, {"config", "include.path", tmp / "included.cfg"});
    looks_changed(included + "/README");

    // A driver defined only in a linked worktree's own configuration.
    const std::string split = repo("home/ws/split", "* filter=probe\n");
    git(split, {"config", "extensions.worktreeConfig", "true"});
    git(split, {"worktree", "add", "-q", ws + "/split-wt", "-b", "side"});
    git(ws + "/split-wt", {"config", "--worktree", "filter.probe.process", filter_probe});
    looks_changed(ws + "/split-wt/README");

    // A submodule whose own configuration names its own filter.
    const std::string source = tmp.make_dir("sources/sub");
    git(source, {"init", "-q"});
    tmp.write_file("sources/sub/data.txt", "data\n");
    tmp.write_file("sources/sub/.gitattributes", "* filter=subprobe\n");
    git(source, {"add", "."});
    git(source, {"commit", "-q", "-m", "sub"});
    const std::string super = repo("home/ws/super");
    git(super, {"submodule", "add", "-q", source, "sm"});
    git(super, {"commit", "-q", "-m", "submodule"});
    git(super + "/sm", {"config", "filter.subprobe.clean", filter_probe});
    looks_changed(super + "/sm/data.txt");

    // HEAD carries a signature header and the configuration asks to show signatures.
    const std::string signed_repo = repo("home/ws/signed");
    const std::string commit = "tree " + git(signed_repo, {"rev-parse", "HEAD^{tree}"}) +
                               "\nparent " + git(signed_repo, {"rev-parse", "HEAD"}) +
                               "\nauthor Dev <dev@example.com> 1600000000 +0000"
                               "\ncommitter Dev <dev@example.com> 1600000000 +0000"
                               "\ngpgsig -----BEGIN PGP SIGNATURE-----\n \n"
                               " -----END PGP SIGNATURE-----\n\nsigned\n";
    const std::string oid =
        git(signed_repo, {"hash-object", "-t", "commit", "-w", "--stdin"}, commit);
    git(signed_repo, {"update-ref", "refs/heads/main", oid});
    git(signed_repo, {"config", "log.showSignature", "true"});
    git(signed_repo, {"config", "gpg.program", probe(tmp / "gpg-probe")});

    // A proxy for git:// remotes, asked for with remote verification.
    const std::string proxied = repo("home/ws/proxied");
    git(proxied, {"remote", "add", "origin", "git://127.0.0.1:9/x"});
    git(proxied, {"config", "core.gitProxy", probe(tmp / "proxy-probe")});

    // An ssh program the repository carries, found through a relative folder of PATH, and
    // an ssh command in its configuration.
    const std::string planted = repo("home/ws/planted");
    probe(planted + "/ssh");
    git(planted, {"add", "ssh"});
    git(planted, {"commit", "-q", "-m", "ssh"});
    git(planted, {"remote", "add", "origin", "ssh://127.0.0.1:9/x"});
    git(planted, {"config", "core.sshCommand", probe(tmp / "ssh-command-probe")});

    // Remote helpers: a foreign VCS and a URL rewritten to ext::.
    const std::string helpers = repo("home/ws/helpers");
    const std::string bin = tmp.make_dir("bin");
    probe(bin + "/git-remote-probe");
    git(helpers, {"remote", "add", "vcs", "https://127.0.0.1:9/x"});
    git(helpers, {"config", "remote.vcs.vcs", "probe"});
    git(helpers, {"remote", "add", "ext", "rewrite:x"});
    git(helpers, {"config", "url.ext::" + tmp / "ext-probe" + " %S.insteadOf", "rewrite:"});
    probe(tmp / "ext-probe");

    const auto run = dev({"--json", "--verify-remotes", "ws"}, ".:" + bin + ":");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(marker_text(), "");
    const auto doc = nlohmann::json::parse(run.out);
    auto found = by_path(doc);

    const auto git_of = [&](const std::string& path) -> nlohmann::json& {
        EXPECT_TRUE(found.contains(path)) << path;
        return found[path]["git"];
    };
    for (const std::string& path :
         {plain, ws + "/plain-wt", nesting, filtered, included, ws + "/split-wt", super + "/sm",
          signed_repo, proxied, planted, helpers}) {
        const auto& g = git_of(path);
        EXPECT_EQ(g["dirty"], false) << path;
        EXPECT_EQ(g["staged"], 0) << path;
        EXPECT_EQ(g["modified"], 0) << path;
        EXPECT_EQ(g["untracked"], 0) << path;
        EXPECT_TRUE(g["head"].is_string()) << path;
    }
    EXPECT_EQ(found[plain]["recommendation"], "keep");
    EXPECT_EQ(found[ws + "/plain-wt"]["recommendation"], "review_removal");
    EXPECT_EQ(git_of(ws + "/plain-wt")["merged_into"], nlohmann::json::array({"main"}));
    // Submodule contents are left out of the superproject's status.
    EXPECT_TRUE(git_of(super)["dirty"].is_null());
    EXPECT_EQ(git_of(signed_repo)["last_commit"], 1600000000);
    EXPECT_EQ(doc["summary"]["warnings"],
              nlohmann::json::array(
                  {"A remote could not be verified; cached refs are not a confirmed backup."}));
}

// Runs the binary from a forked child that ignores SIGCHLD, as some parents leave it; an
// ignored disposition survives exec. Standard output lands in `out`.
int run_with_sigchld_ignored(const std::vector<std::string>& args,
                             const std::vector<std::string>& env, const std::string& cwd,
                             const std::string& out) {
    return run_in_child([&] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (::sigaction(SIGCHLD, &ignore, nullptr) != 0 || fd < 0 || ::dup2(fd, 1) < 0 ||
            ::chdir(cwd.c_str()) != 0) {
            return 120;
        }
        std::vector<char*> argv{const_cast<char*>(BRAMVELT_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        ::execve(BRAMVELT_BINARY, argv.data(), envp.data());
        return 127;
    });
}

TEST_F(HostileRepos, InheritedIgnoredSigchldStillLetsGitAnswer) {
    const std::string dir = repo("home/ws/repo");
    const std::string out = tmp / "out.json";
    const int status = run_with_sigchld_ignored({"dev", "--json", "ws"}, environment(), home, out);
    ASSERT_EQ(status, 0);
    std::ifstream in(out);
    const auto doc = nlohmann::json::parse(in);
    const auto found = by_path(doc);
    ASSERT_TRUE(found.contains(dir)) << doc.dump();
    const auto& g = found.at(dir)["git"];
    EXPECT_EQ(g["head"], git(dir, {"rev-parse", "HEAD"}));
    EXPECT_EQ(g["dirty"], false);
    EXPECT_EQ(g["branch"], "main");
    EXPECT_GT(doc["summary"]["git_commands"].get<int>(), 0);
}

// A project that carries its own `git`, searched and cleaned from inside it with PATH
// holding relative folders first: only the system's git may answer.
TEST_F(HostileRepos, AGitInARelativeSearchFolderNeverRuns) {
    const std::string project = repo("home/ws/project");
    tmp.write_file("home/ws/project/.gitignore", "target/\nnode_modules/\n");
    tmp.write_file("home/ws/project/Cargo.toml", "[package]\n");
    git(project, {"add", ".gitignore", "Cargo.toml"});
    git(project, {"commit", "-q", "-m", "ignore"});
    tmp.write_file("home/ws/project/target/debug/app", "binary");
    probe(project + "/git");
    tmp.make_dir("home/ws/project/node_modules/.bin");
    probe(project + "/node_modules/.bin/git");

    RunOptions options;
    options.environment = environment(".::node_modules/.bin:");
    options.cwd = project;
    const auto listed = run_bramvelt({"dev", "--json", "."}, options);
    ASSERT_EQ(listed.status, 0) << listed.err;
    const auto found = by_path(nlohmann::json::parse(listed.out));
    ASSERT_TRUE(found.contains(project)) << listed.out;
    EXPECT_EQ(found.at(project)["git"]["head"], git(project, {"rev-parse", "HEAD"}));
    ASSERT_TRUE(found.contains(project + "/target")) << listed.out;
    EXPECT_EQ(found.at(project + "/target")["recommendation"], "regenerable");

    const auto cleaned = run_bramvelt({"clean", "--yes", "--delete", "."}, options);
    EXPECT_EQ(cleaned.status, 0) << cleaned.out << cleaned.err;
    EXPECT_FALSE(std::filesystem::exists(project + "/target"));
    EXPECT_EQ(marker_text(), "");
}

}  // namespace
}  // namespace bramvelt::testing
