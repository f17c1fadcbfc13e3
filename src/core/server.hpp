#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/records.hpp"

namespace vordalin::core {

bool start_server(const ServerRecord& server);
bool kill_server(const ServerRecord& server);
bool server_is_running(const ServerRecord& server);
bool has_session(const ServerRecord& server, const std::string& name);
SessionRecord new_session(const ServerRecord& server, const std::string& name);
std::vector<SessionRecord> list_sessions(const ServerRecord& server);
std::optional<std::string> current_socket(const ServerRecord& server);
PaneRecord target_pane(const ServerRecord& server, const std::string& target);
WindowRecord target_window(const ServerRecord& server, const std::string& target);

}  // namespace vordalin::core
