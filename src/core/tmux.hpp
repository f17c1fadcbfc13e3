#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/process.hpp"

namespace vordalin::core {

// The socket path of a tmux server; absent means the user's default server.
using Socket = std::optional<std::string>;
using Argv = std::vector<std::string>;

// "tmux", then "-S" and the socket path when there is one, then the arguments.
Argv tmux_argv(const Socket& socket, std::initializer_list<std::string_view> args);

// tmux matches a bare session target by prefix and by pattern, and a window part that is
// no live index by the start of a window name; these exact-match forms do neither.
std::string session_target(std::string_view session);
std::string window_target(std::string_view session, std::uint32_t index);

// display-message falls back to some other target when its own cannot be found. Putting a
// strict, silent lookup of the same target in front of it (one client, commands chained by
// ";") makes an unknown target fail with tmux's own complaint instead.
Argv strictly_resolved(const Socket& socket, std::string_view target,
                       std::initializer_list<std::string_view> display_args);

// How a start failure is worded: most members say "failed to run tmux: ", the raising
// Server methods "Failed to run tmux: ".
enum class Launch { kLower, kServer };
// Whether tmux's error text is trimmed before it joins the message.
enum class ErrorText { kTrimmed, kUntrimmed };

struct FailureWording {
    std::string_view prefix;
    ErrorText text = ErrorText::kTrimmed;
    Launch launch = Launch::kLower;
};

// Quiet boolean: a status run; true when tmux started and exited with code 0.
bool succeeds(const Argv& argv);

// Decoded output text: the runner's bytes themselves when they are valid UTF-8 (the usual
// case, no copy), else the repaired copy.
class Text {
public:
    explicit Text(runner::Captured bytes);
    explicit Text(std::string text) : repaired_(std::move(text)), is_repaired_(true) {}

    std::string_view view() const noexcept { return is_repaired_ ? std::string_view(repaired_) : bytes_.view(); }

private:
    runner::Captured bytes_;
    std::string repaired_;
    bool is_repaired_ = false;
};

// Quiet value: stdout captured, stderr discarded; the decoded stdout, or nothing when tmux
// did not start or did not succeed.
std::optional<std::string> quiet_output(const Argv& argv);
// The same without copying the text out of the runner's buffer, for outputs that can be large.
std::optional<Text> quiet_text(const Argv& argv);

// Raising: stdout discarded, stderr captured; throws Error worded as given on failure.
void run_checked(const Argv& argv, const FailureWording& wording);

// Raising, stdout wanted: both streams captured; returns the decoded stdout.
std::string checked_output(const Argv& argv, const FailureWording& wording);

// Throws the Error for a run that did not start or did not succeed.
[[noreturn]] void raise_failure(runner::Result& result, const FailureWording& wording);

// Fields cut from a bar-separated line; the listing and metadata formats use it.
constexpr char kFieldSeparator = '|';

}  // namespace vordalin::core
