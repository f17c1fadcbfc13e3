// The persistent channel: one tmux client in control mode per server, kept open and fed one
// command line at a time, so a call costs a round trip instead of a process. It answers
// exactly as a tmux process would (exit status, output, error text), or not at all, and
// the caller then runs the command as a process.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "channel/events.hpp"
#include "runner/process.hpp"
#include "tmux/command.hpp"

namespace vordalin::channel {

// The answer of the server's open channel, as a process would have given it (return code 0
// or 1, the output, the error text). Nothing when no channel is open or wanted; when the
// command is not one the channel gives exactly what a process gives (see tmux::Traits: it
// leans on the client's session or environment, or is longer than a process may send);
// when the calling thread already waits on the channel (a call from a signal handler); or
// when the channel ended before the command reached it, or while a command that only reads
// was on its way. Throws UnknownEffect when it ended while a command that changes something
// was on its way, and runner::Interrupted when the interrupt check asked to stop (the channel
// is dropped then: it is out of step). Waiting for the channel and for its answer, the
// calling thread lets the interpreter's other threads run.
std::optional<runner::Result> run(const tmux::Command& command, bool wants_output);

// A command that changes something was sent, and the channel ended before tmux answered.
struct UnknownEffect {
    std::string command;
};

// After a command ran as a process: a server that answered is tried again for a channel.
void ran_as_process(const tmux::Socket& socket, bool succeeded);

// Opens the channel to the server (or keeps the open one); false when no session runs there
// for a control client to attach to, or tmux cannot start.
bool connect(const tmux::Socket& socket);
// Closes the channel and waits for its client to exit; a call that waits on it meanwhile (on
// another thread, or further up this one) finds its end instead.
void disconnect(const tmux::Socket& socket);
bool connected(const tmux::Socket& socket);
// The module's own clients on the server, its channel's and its event streams', which tmux
// counts and lists and results must not: each one's process, as tmux reports it
// (#{client_pid}), and the session it is attached to.
std::vector<OwnClient> own_clients(const tmux::Socket& socket);

// Closes every channel and event stream; for the interpreter's exit.
void close_all() noexcept;

}  // namespace vordalin::channel
