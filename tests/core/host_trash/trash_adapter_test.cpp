#include "core/host_trash/trash_adapter.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "core/host_trash/trash_request.hpp"
#include "core/host_trash/trash_texts.hpp"
#include "platform/io.hpp"
#include "platform/pipe.hpp"
#include "platform/self_exe.hpp"
#include "tests/core/host_trash/trash_fixture.hpp"

namespace bramvelt::host_trash {
namespace {

using namespace std::chrono_literals;
using testing::read_text;
using testing::TrashTest;
namespace fs = std::filesystem;

std::string adapter(const TrashAuthorization& authorization, const TrashHostSettings& settings) {
    const auto result = run_trash_adapter(authorization, settings);
    return result ? "ok" : result.error();
}

// Whether `pid` was reaped: no child of ours by that id is left, not even a zombie.
bool reaped(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(EncodeTrashRequest, FourStringsInOrderEscapedAsJson) {
    filesystem::FileIdentity identity;
    identity.device = -1;  // the full 64-bit device, read as unsigned
    identity.inode = 18446744073709551615u;
    identity.kind = "directory";
    EXPECT_EQ(encode_trash_request(identity, "/a \"q\" \\b\n\x01/é").value(),
              R"({"device":"18446744073709551615","inode":"18446744073709551615",)"
              R"("kind":"directory","path":"/a \"q\" \\b\n\u0001/é"})");
}

TEST(EncodeTrashRequest, TextOnlyAndAtMost64KiB) {
    filesystem::FileIdentity identity;
    identity.kind = "file";
    EXPECT_EQ(encode_trash_request(identity, "/a\xff").error(), kCannotEncodeRequest);
    const std::size_t overhead = encode_trash_request(identity, "/").value().size() - 1;
    const std::string fits = "/" + std::string(kMaxTrashRequestBytes - overhead - 1, 'a');
    EXPECT_EQ(encode_trash_request(identity, fits).value().size(), kMaxTrashRequestBytes);
    EXPECT_EQ(encode_trash_request(identity, fits + "a").error(), kRequestTooLarge);
}

TEST(TrashHostBesideProgram, InTheRunningProgramsFolder) {
    const std::string self = platform::current_exe_path().value();
    EXPECT_EQ(trash_host_beside_program().value(),
              self.substr(0, self.rfind('/')) + "/bramvelt-trash-host");
}

TEST(ReadBoundedOutput, KeepsTheFirst4096BytesAndDrainsTheRest) {
    auto pipe = platform::open_pipe(platform::PipeBlocking::yes).value();
    std::string written;
    for (int i = 0; written.size() < 300'000; ++i) written += std::to_string(i) + ",";
    std::thread writer([&, end = std::move(pipe.write_end)] {
        ASSERT_TRUE(platform::write_all(end.get(), written));
    });
    const std::string kept = read_bounded_output(std::move(pipe.read_end));
    writer.join();  // a reader that stopped early would leave the writer blocked
    EXPECT_EQ(kept, written.substr(0, kKeptOutputBytes));
}

using Adapter = TrashTest;

TEST_F(Adapter, TheHostReadsTheRequestAsDataInItsOwnProcessGroup) {
    const std::string item = tmp.write_file("w/a \"quoted\" \\ name", "x");
    auto authorization = reserved(item);
    const std::string seen = tmp / "seen";
    const std::string host_program =
        fake_host("records", "cat > '" + seen +
                                 ".request'\n"
                                 "read -r pid comm state ppid pgrp rest < /proc/$$/stat\n"
                                 "echo \"$pid $pgrp\" > '" +
                                 seen + ".group'\nexit 1");
    EXPECT_EQ(adapter(*authorization, host(host_program)), kAdapterFailed);
    const filesystem::FileIdentity& id = authorization->identity();
    EXPECT_EQ(read_text(seen + ".request"),
              R"({"device":")" + std::to_string(static_cast<std::uint64_t>(id.device)) +
                  R"(","inode":")" + std::to_string(id.inode) + R"(","kind":"file","path":")" +
                  tmp.path() + R"(/w/a \"quoted\" \\ name"})");
    std::istringstream group(read_text(seen + ".group"));
    pid_t pid = 0;
    pid_t pgrp = 0;
    group >> pid >> pgrp;
    EXPECT_GT(pid, 0);
    EXPECT_EQ(pid, pgrp);
    EXPECT_NE(pgrp, ::getpgrp());
}

TEST_F(Adapter, TheRealHostMovesAnOddlyNamedItem) {
    const std::string odd = "x y%z\nw";
    const std::string item = tmp.write_file("w/" + odd, "data");
    EXPECT_EQ(adapter(*reserved(item), real_host()), "ok");
    EXPECT_EQ(read_text(trash + "/files/" + odd), "data");
    const std::string info = read_text(trash + "/info/" + odd + ".trashinfo");
    EXPECT_EQ(info.substr(0, info.find("DeletionDate=")),
              "[Trash Info]\nPath=" + tmp.path() + "/w/x%20y%25z%0Aw\n");
}

TEST_F(Adapter, FloodedOutputIsDrainedAndIgnored) {
    const std::string item = tmp.write_file("w/f");
    const std::string host_program =
        fake_host("floods",
                  "head -c 3000000 /dev/zero\nhead -c 3000000 /dev/zero >&2\ncat >/dev/null\n"
                  "mv '" +
                      item + "' '" + tmp.path() + "/moved'\nexit 0");
    EXPECT_EQ(adapter(*reserved(item), host(host_program)), "ok");
    EXPECT_TRUE(fs::exists(tmp / "moved"));
}

TEST_F(Adapter, NothingStartsForWhatCannotBeSentOrNoLongerHolds) {
    const std::string marker = tmp / "started";
    const std::string host_program = fake_host("marks", "touch '" + marker + "'\nexit 0");

    // A name that is not UTF-8 cannot travel in the request.
    const std::string odd = tmp.write_file("w/\xff\xfe", "x");
    EXPECT_EQ(adapter(*reserved(odd), host(host_program)), kCannotEncodeRequest);

    // The adapter's own re-check.
    const std::string item = tmp.write_file("w/f");
    auto changed = reserved(item);
    std::ofstream(item) << "changed";
    EXPECT_EQ(adapter(*changed, host(host_program)), kItemChangedBeforeTrash);

    // Cancelled between the re-check and the start.
    auto cancelled = reserved(tmp.write_file("w/g"));
    TrashHostSettings settings = host(host_program);
    settings.hooks.after_recheck = [&] { cancel->store(true); };
    EXPECT_EQ(adapter(*cancelled, settings), kCancelledBeforeExecution);

    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(fs::exists(odd));
}

TEST_F(Adapter, AHostThatCannotStart) {
    auto authorization = reserved(tmp.write_file("w/f"));
    EXPECT_EQ(adapter(*authorization, host(tmp / "no-such-host")), kCannotStartHost);
    const std::string not_executable = tmp.write_file("hosts/plain", "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(adapter(*authorization, host(not_executable)), kCannotStartHost);
}

TEST_F(Adapter, AFailingHostAndAHostThatNeverReadsItsRequest) {
    const std::string item = tmp.write_file("w/f");
    EXPECT_EQ(adapter(*reserved(item), host(fake_host("exits", "exit 1"))), kAdapterFailed);

    // It ended before the request reached it: a write error (EPIPE), so not written,
    // even though it exited with 0.
    TrashHostSettings settings = host(fake_host("quits", "exit 0"));
    settings.hooks.after_start = [](platform::Child& child) { ASSERT_TRUE(child.wait()); };
    EXPECT_EQ(adapter(*reserved(item), settings), kAdapterFailed);
}

TEST_F(Adapter, CancelledAfterTheStartNothingIsWritten) {
    const std::string length = tmp / "length";
    TrashHostSettings settings =
        host(fake_host("counts", "n=$(wc -c)\necho $n > '" + length + "'\n[ \"$n\" -gt 0 ]"));
    settings.hooks.after_start = [&](platform::Child&) { cancel->store(true); };
    EXPECT_EQ(adapter(*reserved(tmp.write_file("w/f")), settings), kAdapterFailed);
    EXPECT_EQ(read_text(length), "0\n");
}

TEST_F(Adapter, AHungHostIsKilledAtTheTimeLimitWithEverythingItStarted) {
    pid_t pid = -1;
    // The host waits on a child of its own: only a kill of the whole group ends both,
    // and only then do the output readers see the end of their pipes.
    TrashHostSettings settings = host(fake_host("hangs", "sleep 60 &\nwait"));
    settings.time_limit = 300ms;
    settings.hooks.after_start = [&](platform::Child& child) { pid = child.pid(); };
    const auto start = Clock::now();
    EXPECT_EQ(adapter(*reserved(tmp.write_file("w/f")), settings), kAdapterTimedOut);
    EXPECT_LT(Clock::now() - start, 30s);  // not the host's minute
    EXPECT_TRUE(reaped(pid));
}

TEST_F(Adapter, AMissingPipeEndFailsAndTheHostIsStillReaped) {
    struct Case {
        platform::Fd& (platform::Child::*pipe)();
        std::string_view text;
    };
    const Case cases[] = {
        {&platform::Child::stdin_pipe, kStdinUnavailable},
        {&platform::Child::stdout_pipe, kStdoutUnavailable},
        {&platform::Child::stderr_pipe, kStderrUnavailable},
    };
    const std::string host_program = fake_host("waits", "exec sleep 60");
    for (const Case& c : cases) {
        pid_t pid = -1;
        TrashHostSettings settings = host(host_program);
        settings.hooks.after_start = [&](platform::Child& child) {
            pid = child.pid();
            (child.*c.pipe)().reset();
        };
        EXPECT_EQ(adapter(*reserved(tmp.write_file("w/f")), settings), c.text);
        EXPECT_TRUE(reaped(pid)) << c.text;
    }
}

// A thread beside the host that cannot start (the system or memory ran short) is the
// caller's to hear about: the host is killed and reaped first, the reader that did start
// is joined, and nothing was sent, so the item stays.
TEST_F(Adapter, AThreadThatCannotStartIsThrownOnOnceTheHostIsReaped) {
    const std::string item = tmp.write_file("w/f");
    for (const bool out_of_memory : {false, true}) {
        pid_t pid = -1;
        // A host that never ends by itself, and no time limit before the test's own: a
        // call that returns has killed it.
        TrashHostSettings settings = host(fake_host("waits", "exec tail -f /dev/null"));
        settings.time_limit = std::chrono::hours(1);
        settings.hooks.after_start = [&](platform::Child& child) { pid = child.pid(); };
        settings.hooks.between_threads = [out_of_memory] {
            if (out_of_memory) throw std::bad_alloc();
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        };
        if (out_of_memory) {
            EXPECT_THROW((void)run_trash_adapter(*reserved(item), settings), std::bad_alloc);
        } else {
            EXPECT_THROW((void)run_trash_adapter(*reserved(item), settings), std::system_error);
        }
        EXPECT_TRUE(reaped(pid)) << out_of_memory;
        EXPECT_TRUE(fs::exists(item));
    }
}

}  // namespace
}  // namespace bramvelt::host_trash
