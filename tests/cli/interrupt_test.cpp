#include "src/cli/interrupt.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
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
        EXPECT_EQ(guard->stop_signal(), 0);
        ASSERT_EQ(::raise(SIGINT), 0);  // the process survives: only the signal is noted
        EXPECT_TRUE(wait_until_set(first, 60s));
        EXPECT_EQ(guard->stop_signal(), SIGINT);
    }
    // A stale interrupt of the first bridge must not cancel the next operation.
    auto second = make_cancel_flag();
    {
        auto guard = install_interrupt_bridge(second);
        std::this_thread::sleep_for(30ms);
        EXPECT_FALSE(second->load());
        EXPECT_EQ(guard->stop_signal(), 0);
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

// Runs `body` in a forked child, where default dispositions can really end a process;
// returns its wait status. A SIGQUIT that ends it by mistake leaves no core file behind.
template <typename Body>
int in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const rlimit no_core{0, 0};
        ::setrlimit(RLIMIT_CORE, &no_core);
        ::_exit(body());
    }
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, 0), pid);
    return status;
}

void (*handler_of(int signal))(int) {
    struct sigaction now {};
    return ::sigaction(signal, nullptr, &now) == 0 ? now.sa_handler : SIG_ERR;
}

TEST(InterruptBridge, EndingSignalsStopLikeCtrlCOnlyWhileCaught) {
    for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
        const int status = in_child([signal] {
            std::signal(signal, SIG_DFL);
            auto cancel = make_cancel_flag();
            auto guard = install_interrupt_bridge(cancel);
            {
                auto ending = guard->catch_ending_signals();
                ::raise(signal);  // survived: noted, and the operation is asked to stop
                if (!wait_until_set(cancel, 5s)) return 1;
                ::raise(SIGINT);  // the first signal is the one reported
                if (guard->stop_signal() != signal) return 2;
            }
            return handler_of(signal) == SIG_DFL ? 0 : 3;  // the default disposition is back
        });
        ASSERT_TRUE(WIFEXITED(status)) << signal << " " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signal;
    }
}

// A job started in the background by a script inherits Ctrl-C ignored, and `nohup` the
// hang-up: neither the bridge nor the ending signals take such a signal over.
TEST(InterruptBridge, ASignalInheritedAsIgnoredStaysIgnored) {
    for (const int signal : {SIGINT, SIGHUP, SIGQUIT}) {
        const int status = in_child([signal] {
            std::signal(signal, SIG_IGN);
            auto cancel = make_cancel_flag();
            auto guard = install_interrupt_bridge(cancel);
            {
                auto ending = guard->catch_ending_signals();
                if (handler_of(signal) != SIG_IGN) return 1;
                ::raise(signal);
                if (guard->stop_signal() != 0) return 2;
            }
            guard.reset();
            if (handler_of(signal) != SIG_IGN) return 3;
            return cancel->load() ? 4 : 0;
        });
        ASSERT_TRUE(WIFEXITED(status)) << signal << " " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0) << signal;
    }
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
