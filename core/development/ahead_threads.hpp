#pragma once
// The threads that work ahead of a development search only save it time. One that cannot
// start is done without (down to none: the search then does every job itself when it
// gets there), and a job that fails leaves its work to the search in the same way; so a
// failure of theirs never changes what the search finds.

#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace bramvelt::development {

// Starts one more thread running `body` into `threads`; false when it could not start
// (the system had no room for another thread, or memory ran out).
bool start_ahead_thread(std::vector<std::thread>& threads, std::function<void()> body) noexcept;

// Test seam, so the failures it stands for stay tested: from now on no thread working
// ahead starts (ThreadStart), or every job they take on throws std::bad_alloc
// (JobThrows), as when memory runs out.
enum class AheadFailure : std::uint8_t { None, ThreadStart, JobThrows };
void fail_work_ahead_for_testing(AheadFailure failure);
// Where a job begins: throws when the seam says jobs fail.
void job_failure_point_for_testing();

}  // namespace bramvelt::development
