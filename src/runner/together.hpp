// Several children run side by side, read in one loop: one answer from each of many servers
// in the time of the slowest, without a thread for each.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runner/process.hpp"
#include "runner/wait.hpp"

namespace vordalin::runner {

// Starts every argv at once (stdin on /dev/null, stdout and stderr captured) and reads them
// all until each has ended or the deadline passes, letting the interpreter's other threads run
// while it waits. A child still running at the deadline is killed and its slot left empty.
// Throws Interrupted when the interrupt check asks to stop, every child killed and reaped.
std::vector<std::optional<Result>> run_together(const std::vector<std::vector<std::string>>& argvs,
                                                Clock::time_point deadline);

}  // namespace vordalin::runner
