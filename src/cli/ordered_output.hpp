#pragma once
// One document's segments, rendered by several threads at once, written in order. A
// renderer takes a buffer from a small pool, writes its segment into it and hands it in
// with the segment's index; whoever hands in the segment due next writes it and every
// following one that is ready, outside the lock, so a slow renderer holds up only the
// output. Written buffers go back to the pool. After a failed write nothing more is
// written and every wait ends.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/writer.hpp"
#include "scan/tree_memory.hpp"

namespace bramvelt::cli {

// Segments must be taken up in index order (the one due next is always held by some
// thread that will hand it in), else the output waits for ever. The buffers it still
// holds are freed with it.
class OrderedOutput {
  public:
    // `segments` in the document; `most_buffers` made before renderers wait for one.
    OrderedOutput(platform::Writer& out, std::size_t segments, std::size_t most_buffers);
    OrderedOutput(const OrderedOutput&) = delete;
    OrderedOutput& operator=(const OrderedOutput&) = delete;

    // A buffer for segment `k`, empty: a spare one, a new one while fewer than the most
    // were made, or, for the segment due next (so the output never stalls), a new one in
    // any case; else waits for a spare. None once the output failed. A new buffer takes
    // its memory where the taker first fills it.
    std::optional<scan::TreeString> take_buffer(std::size_t k);
    // Hands in segment `k` written into a buffer from take_buffer, which returns to the
    // pool once written.
    void hand_in(std::size_t k, scan::TreeString buffer);
    // Hands in segment `k` as a string of its own, freed once written: a short fixed text
    // that waiting its turn would hold a buffer a longer segment needs.
    void hand_in_text(std::size_t k, scan::TreeString text);
    // Stops the output, as a failed write does: for a renderer that cannot go on.
    void fail();

    // Every segment was written. Once no renderer is left.
    bool finished() const;
    // Buffers take_buffer made.
    std::size_t buffers_made() const;

  private:
    struct Slot {
        std::optional<scan::TreeString> text;  // until written
        bool pooled = false;
    };
    void send(std::size_t k, scan::TreeString text, bool pooled);

    platform::Writer& out_;
    const std::size_t most_buffers_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Slot> ready_;  // by segment
    std::vector<scan::TreeString> spare_;
    std::size_t made_ = 0;
    std::size_t next_ = 0;  // the segment written next
    bool sending_ = false;
    bool failed_ = false;
};

}  // namespace bramvelt::cli
