// The ordered hand-off of a document's segments between writer threads: order, the
// buffer bound, and a failed write.

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <latch>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "src/cli/ordered_output.hpp"

#include "platform/path_io.hpp"
#include "support/eventually.hpp"
#include "support/race.hpp"

namespace bramvelt::cli {
namespace {

using scan::TreeString;

// Records every write it is asked for; fails (or throws) from write `fail_at` on.
class RecordingWriter final : public platform::Writer {
  public:
    enum class Failure { returns_false, throws };
    explicit RecordingWriter(std::size_t fail_at = SIZE_MAX,
                             Failure failure = Failure::returns_false)
        : fail_at_(fail_at), failure_(failure) {}

    bool write(std::string_view bytes) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (attempts_++ >= fail_at_) {
            if (failure_ == Failure::throws) throw std::runtime_error("write");
            return false;
        }
        text_.append(bytes);
        return true;
    }
    bool flush() override { return true; }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }
    std::size_t attempts() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return attempts_;
    }

  private:
    mutable std::mutex mutex_;
    std::string text_;
    std::size_t attempts_ = 0;
    std::size_t fail_at_;
    Failure failure_;
};

// Long enough to leave the string's inline room, so a reused buffer keeps its memory.
std::string segment_text(std::size_t k) {
    return "<segment " + std::to_string(k) + std::string((k % 7 + 1) * 40, '.') + ">";
}

std::string document(std::size_t segments) {
    std::string text;
    for (std::size_t k = 0; k < segments; ++k) text += segment_text(k);
    return text;
}

TreeString filled(TreeString buffer, std::size_t k) {
    buffer.assign(segment_text(k));
    return buffer;
}

// Runs `body` on a thread of its own, to be seen waiting inside it.
class Waiter {
  public:
    template <class Body>
    explicit Waiter(Body body)
        : thread_([this, body] {
              tid_ = ::gettid();
              started_.count_down();
              body();
              returned_ = true;
          }) {
        started_.wait();
    }
    ~Waiter() {
        if (thread_.joinable()) thread_.join();
    }
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // True once the thread sleeps in the kernel (the body waits); false when the body
    // returned first.
    bool waits() const {
        const bool settled = testing::eventually([&] { return returned_ || asleep(); });
        return settled && !returned_;
    }
    void join() { thread_.join(); }

  private:
    bool asleep() const {
        // A thread that has just returned and ended reads as an error, not a throw.
        const auto read =
            platform::read_file(("/proc/self/task/" + std::to_string(tid_) + "/stat").c_str());
        if (!read) return false;
        const std::string& line = *read;
        const auto end_of_name = line.rfind(')');
        return end_of_name != std::string::npos && line.compare(end_of_name, 4, ") S ") == 0;
    }

    std::latch started_{1};
    pid_t tid_ = 0;
    std::atomic<bool> returned_{false};
    std::thread thread_;
};

TEST(OrderedOutput, NothingGoesOutBeforeTheSegmentDueNextThenAllInOrder) {
    constexpr std::size_t kSegments = 8;
    RecordingWriter out;
    OrderedOutput output(out, kSegments, 4);
    std::latch first_held(1);
    std::latch go(1);
    std::thread first([&] {
        auto buffer = output.take_buffer(0);
        first_held.count_down();
        go.wait();
        output.hand_in(0, filled(std::move(*buffer), 0));
    });
    first_held.wait();
    // Segments 1 to 3 from three threads at once, in whatever order they finish; the
    // rest from this one, last first.
    std::vector<std::thread> later;
    for (std::size_t k = 3; k >= 1; --k) {
        later.emplace_back([&, k] {
            auto buffer = output.take_buffer(k);
            output.hand_in(k, filled(std::move(*buffer), k));
        });
    }
    for (std::size_t k = kSegments - 1; k >= 4; --k) {
        output.hand_in_text(k, TreeString(segment_text(k)));
    }
    for (auto& thread : later) thread.join();
    EXPECT_EQ(out.attempts(), 0u);
    EXPECT_FALSE(output.finished());
    go.count_down();
    first.join();
    EXPECT_EQ(out.text(), document(kSegments));
    EXPECT_EQ(out.attempts(), kSegments);
    EXPECT_TRUE(output.finished());
    EXPECT_EQ(output.buffers_made(), 4u);
}

TEST(OrderedOutput, SegmentsFromManyThreadsGoOutInOrder) {
    constexpr std::size_t kSegments = 300;
    constexpr unsigned kThreads = 4;
    // A contest: some segment was handed in while an earlier one was not.
    testing::RaceRounds race(20, 200);
    while (race.more()) {
        RecordingWriter out;
        OrderedOutput output(out, kSegments, 2 * kThreads);
        std::vector<std::atomic<bool>> handed(kSegments);
        std::atomic<bool> out_of_order{false};
        std::atomic<std::size_t> claimed{0};
        const auto render = [&] {
            for (std::size_t k = claimed++; k < kSegments; k = claimed++) {
                for (std::size_t j = 0; j < k && !out_of_order.load(); ++j) {
                    if (!handed[j].load()) out_of_order = true;
                }
                handed[k] = true;
                if (k % 5 == 0) {
                    output.hand_in_text(k, TreeString(segment_text(k)));
                    continue;
                }
                auto buffer = output.take_buffer(k);
                ASSERT_TRUE(buffer);
                output.hand_in(k, filled(std::move(*buffer), k));
            }
        };
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < kThreads; ++t) threads.emplace_back(render);
        for (auto& thread : threads) thread.join();
        ASSERT_EQ(out.text(), document(kSegments));
        ASSERT_EQ(out.attempts(), kSegments);
        ASSERT_TRUE(output.finished());
        race.count(out_of_order.load());
    }
    testing::conclude(race);
}

TEST(OrderedOutput, OnlyTheSegmentDueNextMakesABufferPastTheMost) {
    RecordingWriter out;
    OrderedOutput output(out, 4, 2);
    auto second = output.take_buffer(1);
    auto third = output.take_buffer(2);
    second->assign(segment_text(1));
    third->assign(segment_text(2));
    std::vector<const char*> made{second->data(), third->data()};
    // Two buffers are made and none is spare: segment 3 waits for a written one.
    const char* last = nullptr;
    Waiter waiter([&] {
        auto buffer = output.take_buffer(3);
        ASSERT_TRUE(buffer);
        last = buffer->data();
        output.hand_in(3, filled(std::move(*buffer), 3));
    });
    ASSERT_TRUE(waiter.waits());
    // Segment 0 is due next: it never waits, whatever was made.
    auto first = output.take_buffer(0);
    ASSERT_TRUE(first);
    first->assign(segment_text(0));
    made.push_back(first->data());
    output.hand_in(0, std::move(*first));
    output.hand_in(1, std::move(*second));
    output.hand_in(2, std::move(*third));
    waiter.join();
    EXPECT_EQ(out.text(), document(4));
    EXPECT_EQ(output.buffers_made(), 3u);
    EXPECT_NE(std::find(made.begin(), made.end(), last), made.end()) << "a fourth buffer";
}

TEST(OrderedOutput, AFailedWriteStopsTheOutputAndEveryWait) {
    using Failure = RecordingWriter::Failure;
    constexpr std::size_t kSegments = 6;
    struct Case {
        std::size_t fail_at;
        Failure failure;
    };
    const Case cases[] = {{0, Failure::returns_false},
                          {2, Failure::returns_false},
                          {0, Failure::throws},
                          {2, Failure::throws}};
    for (const auto& [fail_at, failure] : cases) {
        RecordingWriter out(fail_at, failure);
        OrderedOutput output(out, kSegments, 1);
        // The one buffer goes to the segment whose write fails; the others are text.
        auto failing = output.take_buffer(fail_at);
        ASSERT_TRUE(failing);
        // Waits for a spare buffer that the failure never gives: it is let go with none.
        Waiter waiter([&] { EXPECT_FALSE(output.take_buffer(kSegments - 1)); });
        ASSERT_TRUE(waiter.waits());
        // Last first, short of the last segment.
        for (std::size_t k = kSegments - 1; k-- > 0;) {
            if (k != fail_at) output.hand_in_text(k, TreeString(segment_text(k)));
        }
        if (failure == Failure::throws) {
            EXPECT_THROW(output.hand_in(fail_at, filled(std::move(*failing), fail_at)),
                         std::runtime_error);
        } else {
            output.hand_in(fail_at, filled(std::move(*failing), fail_at));
        }
        waiter.join();
        // Nothing is written after the failed write, whatever is handed in later.
        output.hand_in_text(kSegments - 1, TreeString(segment_text(kSegments - 1)));
        EXPECT_EQ(out.attempts(), fail_at + 1);
        EXPECT_EQ(out.text(), document(fail_at));
        EXPECT_FALSE(output.take_buffer(kSegments - 1));
        EXPECT_FALSE(output.finished());
    }
}

TEST(OrderedOutput, ARendererThatGivesUpStopsTheOutput) {
    RecordingWriter out;
    OrderedOutput output(out, 4, 1);
    auto first = output.take_buffer(0);
    output.hand_in(0, filled(std::move(*first), 0));
    // Segment 1's renderer gives up; segment 3's, waiting for a buffer that segment 2
    // holds until segment 1 is written, is let go.
    Waiter waiter([&] {
        auto buffer = output.take_buffer(2);
        ASSERT_TRUE(buffer);
        output.hand_in(2, filled(std::move(*buffer), 2));
        EXPECT_FALSE(output.take_buffer(3));
    });
    ASSERT_TRUE(waiter.waits());
    output.fail();
    waiter.join();
    output.hand_in_text(1, TreeString(segment_text(1)));
    EXPECT_EQ(out.text(), segment_text(0));
    EXPECT_FALSE(output.finished());
}

}  // namespace
}  // namespace bramvelt::cli
