#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vordalin::core {

// What tmux was asked and what it answered, carried by a failure of tmux itself.
struct TmuxAnswer {
    // The arguments from the subcommand on, chained commands joined by ";"; empty when the
    // module answered for tmux without running it.
    std::vector<std::string> command;
    // tmux's error output as it wrote it, decoded.
    std::string error_text;
    // Its exit code (minus the signal number); nothing when it did not run or its status was lost.
    std::optional<int> returncode;
};

// A failed operation, carrying the exact message the caller sees. A failure of tmux reaches
// Python as TmuxError, or NotFoundError when the session, window, pane or server was not
// there; other failures as RuntimeError; refused values as ValueError, values of the wrong
// kind as TypeError; a key a mapping does not hold as KeyError, with the key as the message;
// a file system check as the OSError of its error number, with the path as the message.
class Error : public std::exception {
public:
    enum class Kind { kRuntime, kValue, kType, kKey, kOs, kTmux, kNotFound };

    explicit Error(std::string message, Kind kind = Kind::kRuntime) : message_(std::move(message)), kind_(kind) {}

    static Error os(int error_number, std::string path) {
        Error error(std::move(path), Kind::kOs);
        error.error_number_ = error_number;
        return error;
    }

    // A failure tmux reported; its kind follows from tmux's error text (says_not_found).
    static Error tmux(std::string message, TmuxAnswer answer);
    // The module's own finding that what a call names is not there.
    static Error not_found(std::string message, TmuxAnswer answer = {});

    // The whole message; what() stops at the first NUL, which tmux's output may hold.
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    Kind kind() const noexcept { return kind_; }
    int error_number() const noexcept { return error_number_; }
    // What tmux was asked and answered, for the kinds kTmux and kNotFound.
    const TmuxAnswer& answer() const noexcept { return answer_; }

private:
    std::string message_;
    Kind kind_;
    int error_number_ = 0;
    TmuxAnswer answer_;
};

// Whether tmux's error text says that the session, window, pane or server it was given is
// not there. New members need not know these words: every tmux failure is sorted here.
bool says_not_found(std::string_view error_text);

}  // namespace vordalin::core
