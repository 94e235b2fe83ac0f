#include "platform/writer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>
#include <system_error>

#include "platform/io.hpp"
#include "platform/pipe.hpp"
#include "platform/resource_exhaustion.hpp"

namespace bramvelt::platform {
namespace {

// What reached the pipe once the writer is gone.
std::string written_through(const std::function<void(FdWriter&)>& use,
                            std::size_t buffer_size = 64) {
    auto pipe = open_pipe(PipeBlocking::yes);
    EXPECT_TRUE(pipe);
    {
        FdWriter out(pipe->write_end.get(), buffer_size);
        use(out);
    }
    pipe->write_end.reset();
    return read_all(pipe->read_end.get()).value_or("<unreadable>");
}

// A report may be replaced by an error document only while none of it has gone out.
TEST(FdWriter, DiscardsWhatItHoldsOnlyWhileNothingHasReachedTheDescriptor) {
    EXPECT_EQ(written_through([](FdWriter& out) {
                  EXPECT_TRUE(out.write("{\"tree\":"));
                  EXPECT_TRUE(out.discard_if_unsent());
                  EXPECT_TRUE(out.write("{\"error\":1}"));
              }),
              "{\"error\":1}");
    EXPECT_EQ(written_through([](FdWriter& out) {
                  EXPECT_TRUE(out.write("{\"tree\":"));
                  EXPECT_TRUE(out.flush());
                  EXPECT_TRUE(out.write("[1,"));
                  EXPECT_FALSE(out.discard_if_unsent());
              }),
              "{\"tree\":[1,");
    // Larger than the buffer: it went out at once.
    const std::string large(100, 'x');
    EXPECT_EQ(written_through([&](FdWriter& out) {
                  EXPECT_TRUE(out.write(large));
                  EXPECT_FALSE(out.discard_if_unsent());
              }),
              large);
}

TEST(ResourceExhaustion, TellsMemoryAndThreadsRunningOutApartFromOtherFailures) {
    const auto text_of = [](auto exception) {
        return std::string(resource_exhaustion_text(std::make_exception_ptr(exception)));
    };
    EXPECT_EQ(text_of(std::bad_alloc()), "out of memory");
    EXPECT_EQ(text_of(std::system_error(std::make_error_code(std::errc::not_enough_memory))),
              "out of memory");
    EXPECT_EQ(
        text_of(std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again))),
        "out of memory or system resources (a thread could not start)");
    EXPECT_EQ(text_of(std::system_error(std::make_error_code(std::errc::invalid_argument))), "");
    EXPECT_EQ(text_of(std::runtime_error("broken")), "");
    EXPECT_EQ(resource_exhaustion_text(nullptr), "");

    EXPECT_EQ(exception_text(std::make_exception_ptr(std::bad_alloc())), "out of memory");
    EXPECT_EQ(exception_text(std::make_exception_ptr(std::runtime_error("broken"))), "broken");
    EXPECT_EQ(exception_text(std::make_exception_ptr(42)), "unexpected internal failure");
}

}  // namespace
}  // namespace bramvelt::platform
