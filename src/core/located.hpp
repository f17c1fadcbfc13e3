// Where a window or pane is now, as tmux reports it: the records the finders and the moving
// members answer with, read back strictly.
#pragma once

#include <string>
#include <string_view>

#include "core/records.hpp"

namespace vordalin::core {

// The format that prints a window's record (or a pane's), for a command that reports it.
const std::string& window_record_format();
const std::string& pane_record_format();

// The record the output of that format gives; raises "unexpected tmux output: ..." when it
// does not read.
WindowRecord read_window_record(std::string output, const Socket& socket);
PaneRecord read_pane_record(std::string output, const Socket& socket);

// display-message of `format` for `target`, which must name an object (tmux would otherwise
// answer for another one): the output without its final line end. Raises with `failure`.
std::string display_strictly(const Socket& socket, std::string_view target, std::string_view format,
                             std::string_view failure);

// The window (or pane) `target` names now.
WindowRecord window_at(const Socket& socket, std::string_view target, std::string_view failure);
PaneRecord pane_at(const Socket& socket, std::string_view target, std::string_view failure);

}  // namespace vordalin::core
