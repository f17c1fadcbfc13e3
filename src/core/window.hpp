#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fields.hpp"
#include "core/records.hpp"

namespace vordalin::core {

// A window's metadata as tmux prints it, and how such a record reads (raising the
// "bad window_..." errors).
inline constexpr std::array<FormatField, 7> kWindowMetadataFields{{
    {"window_index"},
    {"window_name", true},
    {"window_active"},
    {"window_layout"},
    {"window_width"},
    {"window_height"},
    {"window_flags"},
}};
WindowMetadata read_window_metadata(std::span<const std::string_view> fields);

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
