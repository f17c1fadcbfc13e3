#pragma once

#include <string>

#include "core/records.hpp"

namespace vordalin::core {

// Types "fc -s" and Enter into the pane, so its shell reruns its last command.
void rerun_last_command(const LastCommandRecord& record);
// Types a printf of the last history entry behind a marker, then reads it off the screen.
std::string read_last_command(const LastCommandRecord& record);

}  // namespace vordalin::core
