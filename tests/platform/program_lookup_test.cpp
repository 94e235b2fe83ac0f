#include "platform/program_lookup.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/spawn.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

// The lookup agrees with the library's own search, and gives nothing where the outcome
// depends on more than the file system says.
TEST(FindProgramOnPath, FirstFolderThatWouldExecuteIt) {
    testing::TempDir tmp;
    tmp.write_file("plain/tool", "#!/bin/sh\n");  // not executable: the search moves on
    ::chmod((tmp / "plain/tool").c_str(), 0644);
    tmp.make_dir("dir/tool");  // a folder of that name: moves on too
    tmp.write_file("exec/tool", "#!/bin/sh\n");
    ::chmod((tmp / "exec/tool").c_str(), 0755);
    tmp.write_file("later/tool", "#!/bin/sh\n");
    ::chmod((tmp / "later/tool").c_str(), 0755);
    tmp.make_dir("looping");
    ASSERT_EQ(::symlink("tool", (tmp / "looping/tool").c_str()), 0);
    const std::string missing = tmp / "missing";

    const std::string exec = tmp / "exec/tool";
    struct Case {
        std::string path;
        std::optional<std::string> found;
    } cases[] = {
        {missing + ":" + tmp / "plain" + ":" + tmp / "dir" + ":" + tmp / "exec:" + tmp / "later",
         exec},
        {tmp / "exec/:" + tmp / "later", tmp / "exec//tool"},
        {missing, std::nullopt},
        {"", std::nullopt},                               // the working folder
        {missing + "::" + tmp / "exec", std::nullopt},    // likewise
        {"relative:" + tmp / "exec", std::nullopt},       // follows the working folder
        {tmp / "looping:" + tmp / "exec", std::nullopt},  // ELOOP ends the library's search
        {tmp / "exec:relative", exec},                    // found before the relative one
    };
    for (const auto& c : cases) {
        EXPECT_EQ(find_program_on_path("tool", c.path), c.found) << c.path;
    }
    EXPECT_EQ(find_program_on_path("sub/tool", tmp.path()), std::nullopt);
    EXPECT_EQ(find_program_on_path("", tmp / "exec"), std::nullopt);
}

// What the library's own search starts: each script names itself.
TEST(FindProgramOnPath, AgreesWithTheLibrarySearch) {
    testing::TempDir tmp;
    for (const char* dir : {"a", "b"}) {
        const std::string script =
            tmp.write_file(std::string(dir) + "/tool", "#!/bin/sh\necho \"$0\"\n");
        ::chmod(script.c_str(), 0755);
    }
    ::chmod((tmp / "a/tool").c_str(), 0644);
    const std::string path = tmp / "missing:" + tmp / "a:" + tmp / "b";
    testing::ScopedEnv env("PATH", path.c_str());
    SpawnOptions options;
    options.program = "tool";
    options.out = Stdio::pipe();
    auto child = spawn(options);
    ASSERT_TRUE(child);
    std::string out(256, '\0');
    const ssize_t n = ::read(child->stdout_pipe().get(), out.data(), out.size());
    ASSERT_GT(n, 0);
    out.resize(static_cast<std::size_t>(n) - 1);
    ASSERT_TRUE(child->wait());
    EXPECT_EQ(find_program_on_path("tool", path), out);
}

TEST(FindProgramOnPath, UnsetPathUsesTheLibraryDefault) {
    const auto sh = find_program_on_path("sh", std::nullopt);
    ASSERT_TRUE(sh);
    EXPECT_TRUE(*sh == "/bin/sh" || *sh == "/usr/bin/sh") << *sh;
}

}  // namespace
}  // namespace bramvelt::platform
