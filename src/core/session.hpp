#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/records.hpp"
#include "core/spawn.hpp"

namespace vordalin::core {

bool kill_session(const SessionRecord& session);
// Renames in tmux, then in the record; the record is unchanged when tmux refuses.
void rename_session(SessionRecord& session, const std::string& new_name);
std::vector<WindowRecord> session_windows(const SessionRecord& session);
SessionMetadata session_metadata(const SessionRecord& session);
// Makes a window in the session and answers with the window tmux made.
WindowRecord new_window(const SessionRecord& session, const std::optional<std::string>& name,
                        const std::optional<std::string>& command, const std::optional<std::string>& start_directory,
                        const std::optional<Environment>& environment, bool select);

}  // namespace vordalin::core
