#include "platform/writer.hpp"

#include "platform/io.hpp"

namespace bramvelt::platform {

FdWriter::FdWriter(int fd, std::size_t buffer_size) noexcept : fd_(fd), capacity_(buffer_size) {
    try {
        buffer_.reserve(capacity_);
    } catch (...) {
        capacity_ = 0;
    }
}

FdWriter::~FdWriter() {
    flush();
}

bool FdWriter::write(std::string_view bytes) {
    if (failed_) {
        return false;
    }
    if (buffer_.size() + bytes.size() > capacity_) {
        if (!flush()) {
            return false;
        }
        if (bytes.size() >= capacity_) {
            return write_all(bytes);
        }
    }
    buffer_.append(bytes);
    return true;
}

bool FdWriter::flush() {
    if (failed_) {
        return false;
    }
    const bool ok = write_all(buffer_);
    buffer_.clear();
    return ok;
}

bool FdWriter::discard_if_unsent() {
    if (sent_) return false;
    buffer_.clear();
    return true;
}

bool FdWriter::write_all(std::string_view bytes) {
    if (bytes.empty()) return true;
    sent_ = true;
    const auto written = platform::write_all(fd_, bytes);
    if (!written) {
        failed_ = true;
        error_ = written.error();
        return false;
    }
    return true;
}

}  // namespace bramvelt::platform
