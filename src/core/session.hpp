#pragma once

#include <string>
#include <vector>

#include "core/records.hpp"

namespace vordalin::core {

bool kill_session(const SessionRecord& session);
// Renames in tmux, then in the record; the record is unchanged when tmux refuses.
void rename_session(SessionRecord& session, const std::string& new_name);
std::vector<WindowRecord> session_windows(const SessionRecord& session);
SessionMetadata session_metadata(const SessionRecord& session);

}  // namespace vordalin::core
