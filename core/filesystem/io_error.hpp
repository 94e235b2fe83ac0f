#pragma once
// The failure of a file operation: either an operating-system error passed on with its
// error number, or one of our own fixed texts (error number 0, the general kind).

#include <string>
#include <utility>

namespace bramvelt::filesystem {

struct IoError {
    int error_number = 0;  // errno of the failed call; 0 for a fixed text of our own
    std::string message;   // the fixed text, or the system's text with its number

    // An operating-system failure; its message reads like "No such file or directory
    // (os error 2)".
    static IoError os(int error_number);
    static IoError other(std::string message) { return IoError{0, std::move(message)}; }

    bool is_os() const { return error_number != 0; }
};

}  // namespace bramvelt::filesystem
