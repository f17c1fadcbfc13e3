#pragma once

#include <stdexcept>
#include <string>

namespace vordalin::core {

// A failed operation, carrying the exact message the caller sees. Most reach Python as
// RuntimeError; the window rename is the one that reports ValueError.
class Error : public std::runtime_error {
public:
    enum class Kind { kRuntime, kValue };

    explicit Error(const std::string& message, Kind kind = Kind::kRuntime)
        : std::runtime_error(message), kind_(kind) {}

    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

}  // namespace vordalin::core
