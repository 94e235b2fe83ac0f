#include "src/cli/interrupt.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <thread>

namespace bramvelt::cli {
namespace {

using namespace std::chrono_literals;

bool wait_until_set(const CancelFlag& flag, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (flag->load()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return flag->load();
}

TEST(InterruptBridge, SigintSetsTheFlagAndOnlyThatBridgesFlag) {
    auto first = make_cancel_flag();
    {
        auto guard = install_interrupt_bridge(first);
        EXPECT_FALSE(guard->sigint_seen());
        ASSERT_EQ(::raise(SIGINT), 0);  // the process survives: only the byte is set
        EXPECT_TRUE(wait_until_set(first, 60s));
        EXPECT_TRUE(guard->sigint_seen());
    }
    // A stale interrupt of the first bridge must not cancel the next operation.
    auto second = make_cancel_flag();
    {
        auto guard = install_interrupt_bridge(second);
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(second->load());
        EXPECT_FALSE(guard->sigint_seen());
    }
}

TEST(InterruptBridge, ReleaseRestoresThePreviousHandler) {
    // In a child so that the default disposition can really end a process.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::signal(SIGINT, SIG_DFL);
        {
            auto guard = install_interrupt_bridge(make_cancel_flag());
            ::raise(SIGINT);
        }
        ::raise(SIGINT);
        ::_exit(0);  // not reached when the default disposition is back
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGINT);
}

TEST(InterruptBridge, SecondInstallWaitsForTheFirstRelease) {
    auto guard = install_interrupt_bridge(make_cancel_flag());
    std::atomic<bool> second_installed{false};
    auto second = std::async(std::launch::async, [&] {
        auto inner = install_interrupt_bridge(make_cancel_flag());
        second_installed = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(second_installed.load());
    guard.reset();
    second.get();
    EXPECT_TRUE(second_installed.load());
}

}  // namespace
}  // namespace bramvelt::cli
