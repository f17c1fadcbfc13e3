// Commands whose failure is, as a rule, tmux refusing what the caller gave (an option, a
// value, a layout): that is a ValueError with tmux's text, while a target or server that
// is gone stays a RuntimeError.
#pragma once

#include <string_view>

#include "core/tmux.hpp"

namespace vordalin::core {

// Whether tmux's error text says that the command's target or its server is gone.
bool misses_target(std::string_view error);

// Runs the command; tmux's refusal raises a ValueError-kind Error with tmux's trimmed text,
// any other failure an Error worded with `failure`.
void run_or_refuse(const Command& command, std::string_view failure);

}  // namespace vordalin::core
