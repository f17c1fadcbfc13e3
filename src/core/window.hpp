#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
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

// Lays the window's panes out: one of tmux's five layout names, or a layout string whose
// checksum matches (tmux 3.3a's server crashes on many other texts, so nothing else runs).
std::monostate select_layout(const WindowRecord& window, const std::string& layout);
std::monostate resize_window(const WindowRecord& window, std::optional<std::uint32_t> width,
                             std::optional<std::uint32_t> height);
std::monostate swap_windows(const WindowRecord& window, const WindowRecord& other);
// Moves the window to `index` (the next free one when absent) of `session` (its own when
// absent) and answers with where it went.
WindowRecord move_window(const WindowRecord& window, std::optional<std::uint32_t> index,
                         const std::optional<SessionRecord>& session);
PaneRecord active_pane(const WindowRecord& window);
SessionRecord window_session(const WindowRecord& window);
std::string display_window(const WindowRecord& window, const std::string& format);

// The window's exact target; the error tmux would give when its session name can name no session.
std::string exact_window_target(const WindowRecord& window, std::string_view failure);
// Raises when two records are of different servers.
void same_server(const Socket& one, const Socket& other, std::string_view what);

enum class Step { kNext, kPrevious };
// Moves the session's current window one step and reports the window now current.
std::optional<WindowRecord> step_window(const WindowRecord& window, Step step);

}  // namespace vordalin::core
