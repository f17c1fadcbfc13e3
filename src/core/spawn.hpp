#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/tmux.hpp"

namespace vordalin::core {

// Variables set for a new program, in the caller's order.
using Environment = std::vector<std::pair<std::string, std::string>>;

// Adds the options that place a new program ("-c" directory, "-e" variables) to a command
// that starts one. Everything is checked before anything runs: tmux would silently start
// in another directory when this one is missing, and takes "-e" text up to the first "=".
// The command then starts its program after these options; anything a transport adds goes
// after them too.
void add_start_options(Command& command, const std::optional<std::string>& start_directory,
                       const std::optional<Environment>& environment);

}  // namespace vordalin::core
