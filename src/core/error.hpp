#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vordalin::core {

// A failed operation, carrying the exact message the caller sees. Most reach Python as
// RuntimeError; refused values as ValueError, values of the wrong kind as TypeError; a key a
// mapping does not hold as KeyError, with the key as the message; a file system check as the
// OSError of its error number, with the path as the message.
class Error : public std::exception {
public:
    enum class Kind { kRuntime, kValue, kType, kKey, kOs };

    explicit Error(std::string message, Kind kind = Kind::kRuntime) : message_(std::move(message)), kind_(kind) {}

    static Error os(int error_number, std::string path) {
        Error error(std::move(path), Kind::kOs);
        error.error_number_ = error_number;
        return error;
    }

    // The whole message; what() stops at the first NUL, which tmux's output may hold.
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    Kind kind() const noexcept { return kind_; }
    int error_number() const noexcept { return error_number_; }

private:
    std::string message_;
    Kind kind_;
    int error_number_ = 0;
};

}  // namespace vordalin::core
