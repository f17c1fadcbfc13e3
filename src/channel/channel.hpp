// The persistent channel: one tmux client in control mode per server, kept open and fed one
// command line at a time, so a call costs a round trip instead of a process. It answers
// exactly as a tmux process would (exit status, output, error text), or not at all, and
// the caller then runs the command as a process.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runner/process.hpp"

namespace vordalin::channel {

// One tmux command: exactly the texts tmux is to receive.
using Words = std::vector<std::string>;

// The socket path of a server; absent means the user's default server.
using Socket = std::optional<std::string>;

// The commands of one call, run chained by one client, and whether its output is read.
struct Request {
    std::vector<Words> commands;
    bool wants_output = false;
};

// The answer of the server's open channel, as a process would have given it (return code 0
// or 1, the output, the error text); nothing when no channel is open, it is busy (a call made
// while another waits on it), the commands are not for it, or it ended before a query was
// answered. Throws UnknownEffect when it ended while a command that changes something was in
// flight, and runner::Interrupted when the interrupt check asked to stop (the channel is
// dropped then: it is out of step).
std::optional<runner::Result> run(const Socket& socket, const Request& request);
// Whether run() could take any request now: a channel is open or wanted, or the switch is
// on. When not, a caller need not build the request at all.
bool active();

// A command that changes something was sent, and the channel ended before tmux answered.
struct UnknownEffect {
    std::string command;
};

// After a call ran as a process: with the environment switch on, a channel is tried again
// once the server has answered a process.
void ran_as_process(const Socket& socket, bool succeeded);

// Opens the channel to the server (or keeps the open one); false when no session runs there
// for a control client to attach to, or tmux cannot start.
bool connect(const Socket& socket);
// Closes the channel and waits for its client to exit.
void disconnect(const Socket& socket);
bool connected(const Socket& socket);
// The id ("$3") of the session the server's open channel is attached to: tmux counts the
// channel's client there, and results must not.
std::optional<std::string> attached_session(const Socket& socket);

// Closes every channel; for the interpreter's exit.
void close_all() noexcept;

}  // namespace vordalin::channel
