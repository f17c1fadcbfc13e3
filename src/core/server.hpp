#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/records.hpp"
#include "core/spawn.hpp"

namespace vordalin::core {

// The socket of a server: its path (absent: the default server) on this machine, or on `host`
// reached with ssh and the given options. Refuses a host that ssh would read otherwise, and
// options without a host.
SocketPath server_socket(std::optional<std::string> path, std::optional<std::string> host,
                         std::vector<std::string> ssh_options);
// The host and the ssh options a record's server is reached with; nothing on this machine.
std::optional<std::string> host_of(const SocketPath& socket);
std::vector<std::string> ssh_options_of(const SocketPath& socket);

bool start_server(const ServerRecord& server);
bool kill_server(const ServerRecord& server);
bool server_is_running(const ServerRecord& server);
bool has_session(const ServerRecord& server, const std::string& name);
// Makes a detached session and answers with the name tmux gave it.
SessionRecord new_session(const ServerRecord& server, const std::string& name,
                          const std::optional<std::string>& command, const std::optional<std::string>& start_directory,
                          const std::optional<Environment>& environment, std::optional<std::uint32_t> width,
                          std::optional<std::uint32_t> height);
std::vector<SessionRecord> list_sessions(const ServerRecord& server);
// The session of exactly this name, if there is one.
std::optional<SessionRecord> find_session(const ServerRecord& server, const std::string& name);
// A format evaluated by the server, for no particular session.
std::string display_server(const ServerRecord& server, const std::string& format);
// The clients attached to the server, but those of this process's own channel and streams.
std::vector<ClientInfo> list_clients(const ServerRecord& server);
// The persistent channel to the server: opened (true) or not (false: no session to attach
// to), closed, and whether one is open.
bool connect_channel(const ServerRecord& server);
std::monostate disconnect_channel(const ServerRecord& server);
bool channel_connected(const ServerRecord& server);

// Runs a tmux command line as the caller wrote it, flags and ";" separators included. Raises
// when tmux cannot start, and with `check` when it fails.
CommandResult raw_command(const ServerRecord& server, const Argv& args, bool check);
std::optional<std::string> current_socket(const ServerRecord& server);
PaneRecord target_pane(const ServerRecord& server, const std::string& target);
WindowRecord target_window(const ServerRecord& server, const std::string& target);

}  // namespace vordalin::core
