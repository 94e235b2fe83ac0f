#pragma once
// Byte sinks for reports and event streams. A failed write is sticky: once a writer has
// failed it stays failed, so callers may check once at the end.

#include <cstddef>
#include <string>
#include <string_view>

namespace bramvelt::platform {

class Writer {
  public:
    virtual ~Writer() = default;
    // Returns false when the bytes could not be written (or an earlier write failed).
    virtual bool write(std::string_view bytes) = 0;
    virtual bool flush() = 0;
    // Forgets what was written when none of it has reached its destination yet, so that
    // another text can take its place; false (nothing forgotten) once some has.
    virtual bool discard_if_unsent() { return false; }
};

// Buffers output for a descriptor it does not own (standard output, standard error).
// The destructor flushes what is left and ignores the result. Without memory for its
// buffer it writes everything through at once.
class FdWriter final : public Writer {
  public:
    explicit FdWriter(int fd, std::size_t buffer_size = 64 * 1024) noexcept;
    ~FdWriter() override;
    FdWriter(const FdWriter&) = delete;
    FdWriter& operator=(const FdWriter&) = delete;

    bool write(std::string_view bytes) override;
    bool flush() override;
    bool discard_if_unsent() override;
    bool failed() const { return failed_; }
    int error_number() const { return error_; }

  private:
    bool write_all(std::string_view bytes);
    int fd_;
    std::size_t capacity_;
    std::string buffer_;
    bool sent_ = false;  // some bytes reached the descriptor
    bool failed_ = false;
    int error_ = 0;
};

// Collects everything written into a string (tests, in-memory reports).
class StringWriter final : public Writer {
  public:
    bool write(std::string_view bytes) override {
        text_.append(bytes);
        return true;
    }
    bool flush() override { return true; }
    bool discard_if_unsent() override {
        text_.clear();
        return true;
    }
    const std::string& text() const { return text_; }
    void clear() { text_.clear(); }

  private:
    std::string text_;
};

// Discards every byte and always succeeds.
class NullWriter final : public Writer {
  public:
    bool write(std::string_view) override { return true; }
    bool flush() override { return true; }
};

}  // namespace bramvelt::platform
