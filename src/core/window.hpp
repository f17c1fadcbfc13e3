#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/records.hpp"

namespace vordalin::core {

bool kill_window(const WindowRecord& window);
bool select_window(const WindowRecord& window);
// Renames in tmux, then in the record; throws a ValueError-kind Error when tmux refuses.
void rename_window(WindowRecord& window, const std::string& new_name);
std::vector<PaneRecord> window_panes(const WindowRecord& window);
WindowMetadata window_metadata(const WindowRecord& window);

enum class Step { kNext, kPrevious };
// Moves the session's current window one step and reports the window now current.
std::optional<WindowRecord> step_window(const WindowRecord& window, Step step);

}  // namespace vordalin::core
