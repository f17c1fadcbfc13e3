#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vordalin::core {

// A failed operation, carrying the exact message the caller sees. Most reach Python as
// RuntimeError; the window rename is the one that reports ValueError.
class Error : public std::exception {
public:
    enum class Kind { kRuntime, kValue };

    explicit Error(std::string message, Kind kind = Kind::kRuntime) : message_(std::move(message)), kind_(kind) {}

    // The whole message; what() stops at the first NUL, which tmux's output may hold.
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    Kind kind() const noexcept { return kind_; }

private:
    std::string message_;
    Kind kind_;
};

}  // namespace vordalin::core
