#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/records.hpp"
#include "core/spawn.hpp"
#include "core/tmux.hpp"

namespace vordalin::core {

void select_pane(const PaneRecord& pane);
void clear_pane_history(const PaneRecord& pane);
void kill_pane(const PaneRecord& pane);
bool pane_is_alive(const PaneRecord& pane);
// Sets the title in tmux, then in the record; the record is unchanged when tmux refuses.
void set_pane_title(PaneRecord& pane, const std::string& title);

// Types the keys; with `literal` as characters even when the text is a key name.
void send_keys(const PaneRecord& pane, const std::string& keys, bool enter, bool clear_first, bool literal);
// With `escapes` colours and attributes come as escape sequences; with `join` wrapped lines
// come joined.
std::optional<Text> capture_pane(const PaneRecord& pane, bool trim, std::optional<std::uint32_t> scroll_back, bool full,
                                 bool escapes, bool join);
// The visible screen (and with `full` the history too), raising `failure` and tmux's text
// when it cannot be read.
Text checked_capture(const PaneRecord& pane, bool full, std::string_view failure);
// From row `start` of the pane (negative rows are in its history; nothing: the history's first
// line) to row `end` (nothing: the screen's last), with `join` wrapped lines joined, raising
// `failure` as checked_capture.
Text checked_capture_span(const PaneRecord& pane, std::optional<std::int64_t> start, std::optional<std::int64_t> end,
                          bool join, std::string_view failure);
// The pid of the pane's process; nothing when the pane is gone.
std::optional<std::uint32_t> pane_pid(const PaneRecord& pane);
void bash_shell(const PaneRecord& pane, bool respawn);

// The argument that runs `command` under a login sh and then leaves the user's shell in
// the pane.
std::string keep_wrapper(std::string_view command);
// Splits the pane; with `select` the new pane becomes the window's active one.
PaneRecord split_pane(const PaneRecord& pane, bool horizontal, const std::optional<std::string>& command, bool keep,
                      bool select, std::optional<std::uint32_t> size, const std::optional<std::string>& start_directory,
                      const std::optional<Environment>& environment);
void resize_pane(const PaneRecord& pane, const std::string& direction, std::uint32_t amount);
void respawn_pane(const PaneRecord& pane, const std::optional<std::string>& command, bool kill);

// Where the pane is now, and what it is moved to.
WindowRecord pane_window(const PaneRecord& pane);
std::monostate swap_panes(const PaneRecord& pane, const PaneRecord& other);
PaneRecord join_pane(const PaneRecord& pane, const WindowRecord& window, bool horizontal,
                     std::optional<std::uint32_t> size);
WindowRecord break_pane(const PaneRecord& pane, const std::optional<std::string>& name, bool select);
std::string display_pane(const PaneRecord& pane, const std::string& format);

std::optional<std::string> current_command(const PaneRecord& pane);
std::optional<std::string> current_commandline(const PaneRecord& pane);

}  // namespace vordalin::core
