// The channels of this process: one per server, by the server's socket resolved; what the
// user asked for (connect, the switch); and what a fork or the interpreter's exit does to them.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "channel/client.hpp"
#include "tmux/command.hpp"

namespace vordalin::channel::registry {

// The key of a server's channel: the socket's path with its directory resolved, and for the
// default server the path tmux would use.
std::string key_of(const tmux::Socket& socket);

// The id of the session a tmux process of ours would act on for lack of a target: the one tmux
// finds most recently active. A client of ours attaches there, so that attaching (which makes a
// session the most recently active) changes nothing for later processes.
std::optional<std::string> current_session(const tmux::Socket& socket);
// The session id ("$3") that a display-message of #{session_id} printed; nothing when it failed.
std::optional<std::string> session_id_in(const runner::Result& printed);

// The server's open channel, if it is still alive; one that has ended is let go.
std::shared_ptr<Client> find(const std::string& key);
// The open channel, or a new one when a session runs there for its client to attach to.
// With `wanted`, connect() asked for it; otherwise it is opened only when the switch is on or
// connect() asked earlier, and after a failure only once the server has answered a process.
std::shared_ptr<Client> open(const std::string& key, const tmux::Socket& socket, bool wanted);
// Takes the channel out, if it is still this one; the caller ends it.
std::shared_ptr<Client> take(const std::string& key, const Client* client);
void want(const std::string& key, bool wanted);
// With the switch on, or a channel wanted here, a server that answered a process is tried again.
void answered_a_process(const std::string& key);
// Whether a channel is open or wanted on this server, or the switch is on.
bool in_use(const std::string& key);
// Whether a channel is open or wanted anywhere, or the switch is on: when not, a call need not
// look any further.
bool active();

// Closes every channel, waiting at most a moment for each; for the interpreter's exit.
void close_all() noexcept;

}  // namespace vordalin::channel::registry
