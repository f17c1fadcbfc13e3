#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "channel/events.hpp"
#include "core/fields.hpp"
#include "core/records.hpp"
#include "core/spawn.hpp"

namespace vordalin::core {

// A session's metadata as tmux prints it, and how such a record reads (raising the
// "bad session_..." errors).
inline constexpr std::array<FormatField, 7> kSessionMetadataFields{{
    {"session_id"},
    {"session_name", true},
    {"session_created"},
    {"session_attached"},
    {"session_width"},
    {"session_height"},
    {"session_windows"},
}};
// `channel_session` is the id of the session our own channel's client is attached to, if
// any: that client is not counted.
SessionMetadata read_session_metadata(const Values& fields, const std::vector<channel::OwnClient>& own);

bool kill_session(const SessionRecord& session);
// Renames in tmux, then in the record; the record is unchanged when tmux refuses.
void rename_session(SessionRecord& session, const std::string& new_name);
std::vector<WindowRecord> session_windows(const SessionRecord& session);
SessionMetadata session_metadata(const SessionRecord& session);
WindowRecord active_window(const SessionRecord& session);
std::string display_session(const SessionRecord& session, const std::string& format);
// Makes a window in the session and answers with the window tmux made.
WindowRecord new_window(const SessionRecord& session, const std::optional<std::string>& name,
                        const std::optional<std::string>& command, const std::optional<std::string>& start_directory,
                        const std::optional<Environment>& environment, bool select);

}  // namespace vordalin::core
