// The built bramvelt-trash-host, driven as the program drives it: a request on standard
// input, the exit status as the answer, a text on standard error when it fails.

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/run_process.hpp"
#include "support/temp_dir.hpp"
#include "tests/tools/trash_host/host_fixture.hpp"
#include "tools/trash_host/request.hpp"

namespace bramvelt::trash_host {
namespace {

using bramvelt::testing::ProcessResult;
using bramvelt::testing::RunOptions;
using bramvelt::testing::TempDir;
using testing::read_text;
using testing::request_for;
namespace fs = std::filesystem;

struct HostProgram : ::testing::Test {
    TempDir tmp;
    std::string home = tmp.make_dir("home");

    ProcessResult run(std::string input, std::vector<std::string> environment = {}) {
        environment.push_back("HOME=" + home);
        environment.push_back("PATH=/usr/bin:/bin");
        return bramvelt::testing::run_process(BRAMVELT_TRASH_HOST, {},
                                              RunOptions{std::move(input), environment, ""});
    }
};

std::string json_for(const std::string& path) {
    const TrashRequest r = request_for(path);
    return R"({"device":")" + r.device + R"(","inode":")" + r.inode + R"(","kind":")" + *r.kind +
           R"(","path":")" + path + R"("})";
}

TEST_F(HostProgram, MovesTheEntryAndSaysNothing) {
    const std::string file = tmp.write_file("w/item", "x");
    const ProcessResult result = run(json_for(file));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(read_text(home + "/.local/share/Trash/files/item"), "x");
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(HostProgram, XdgDataHomeFromTheEnvironment) {
    const std::string file = tmp.write_file("w/item", "x");
    const ProcessResult result = run(json_for(file), {"XDG_DATA_HOME=" + tmp.path() + "/data"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_text(tmp / "data/Trash/files/item"), "x");
}

TEST_F(HostProgram, FailuresExitNonZeroWithTheirText) {
    const std::string file = tmp.write_file("w/item", "x");
    std::string changed = json_for(file);
    changed.replace(changed.find(R"("kind":"file")"), 13, R"("kind":"directory")");
    struct Case {
        std::string input;
        std::string text;
    };
    const Case cases[] = {
        {"", "Invalid Trash request.\n"},
        {"{", "Invalid Trash request.\n"},
        {R"({"device":"1","inode":"2","kind":"file","path":"w/item"})", "Invalid Trash request.\n"},
        {std::string(kMaxRequestBytes + 1, ' '), "Invalid Trash request.\n"},
        {R"({"device":"1","inode":"2","kind":"file","path":")" + tmp.path() + R"(/w/gone"})",
         "The authorized item is unavailable.\n"},
        {changed, "The authorized item changed before Trash.\n"},
    };
    for (const Case& c : cases) {
        const ProcessResult result = run(c.input);
        EXPECT_EQ(result.status, 1) << c.input.substr(0, 80);
        EXPECT_EQ(result.err, c.text) << c.input.substr(0, 80);
    }
    EXPECT_EQ(read_text(file), "x");
    EXPECT_FALSE(fs::exists(home + "/.local/share/Trash/files/item"));
}

TEST_F(HostProgram, NoUsableTrashIsAFailure) {
    // The home trash cannot be made (its place is a file): nothing moves.
    tmp.write_file("home/.local/share/Trash", "in the way");
    const std::string file = tmp.write_file("w/item", "x");
    const ProcessResult result = run(json_for(file));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Native Trash failed; the item was not acknowledged.\n");
    EXPECT_EQ(read_text(file), "x");
}

}  // namespace
}  // namespace bramvelt::trash_host
