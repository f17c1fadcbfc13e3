// A tmux command as core builds it for either transport: the words tmux is to receive, and
// what a transport must know of them to run the command exactly as a tmux process of ours
// would. The properties are set where the command is built; no transport reads them back
// from the words.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tmux/remote.hpp"

namespace vordalin::tmux {

// Where a tmux server is: the path of its socket (absent: the user's default server), on this
// machine, or on a remote host that every command reaches over ssh.
struct Socket {
    std::optional<std::string> path;
    // Shared by every record of the server; null on this machine.
    std::shared_ptr<const Remote> remote;

    Socket() noexcept = default;
    // Implicit: a path alone is a server on this machine.
    Socket(std::optional<std::string> path) noexcept : path(std::move(path)) {}  // NOLINT(google-explicit-constructor)
    Socket(std::optional<std::string> path, std::shared_ptr<const Remote> remote) noexcept
        : path(std::move(path)), remote(std::move(remote)) {}

    // The same host with the same options, or both on this machine.
    bool same_place(const Socket& other) const noexcept {
        return remote == other.remote || (remote && other.remote && *remote == *other.remote);
    }
};

// A program the command starts.
struct Start {
    // Where further options of the command may go: after its own, before "--" and the program.
    std::size_t options_end = 0;
    // tmux starts the program in its client's working directory: no "-c" names one, and it is
    // no respawn (which keeps the pane's).
    bool in_client_directory = false;
};

struct Traits {
    // tmux resolves whatever it acts on the same way for every client: each target is an id
    // or names its session, or the command needs none. Only such a command can run on a
    // client that is attached to a session, as the persistent channel's is.
    bool exact = false;
    // It only reads: run again after being cut short, it gives what it would have given.
    bool reads_only = false;
    // It reads what the client it runs on brings along beyond its directory and PATH (a new
    // session copies the client's environment): only a process of ours brings the caller's.
    bool client_environment = false;
    // A capture-pane whose first option is "-p" (print the capture); a transport may have the
    // capture delivered another way.
    bool captures = false;
    // It ends the server.
    bool ends_server = false;
    // It starts a program, which tmux gives its client's PATH and maybe directory.
    std::optional<Start> start;
    // It types keys into this pane. A pane in a mode (copy mode) takes keys as the mode's own
    // commands, and some open a prompt on the client that sent them, which then runs nothing
    // more until the prompt is answered: a process of ours exits and leaves it, a client that
    // stays would be held.
    std::optional<std::string> types_into;
};

// One tmux command on one server, or several run chained by one client.
struct Command {
    Socket socket;
    Argv args;
    // Where in `args` a further command of the same client starts; the transport puts its
    // own separator there.
    std::vector<std::size_t> chained_at;
    // The configuration file for a command that may start the server.
    std::optional<std::string> config;
    // The arguments are a tmux command line as the caller wrote it, separators and all.
    bool verbatim = false;
    Traits traits;

    // What is appended from now on is the next command, run by the same client.
    void chain() { chained_at.push_back(args.size()); }
    void append(std::initializer_list<std::string_view> more) { args.insert(args.end(), more.begin(), more.end()); }
    // The options appended so far place the program this command starts.
    void starts_program(bool in_client_directory) { traits.start = Start{args.size(), in_client_directory}; }
    // Calls `visit` with the arguments of each command in turn, split where they are chained.
    template <class Visit>
    void each_command(Visit&& visit) const {
        std::span<const std::string> all(args);
        std::size_t start = 0;
        for (std::size_t end : chained_at) {
            if (end > start && end < args.size()) {
                visit(all.subspan(start, end - start));
                start = end;
            }
        }
        visit(all.subspan(start));
    }
};

// The words of the command as tmux's command line takes them, after the client's own options:
// tmux's command line ends a command at any argument that ends in ";" and turns a final "\;"
// into ";", so one backslash before a final ";" carries every text (a verbatim command keeps
// its own), and ";" joins chained commands.
Argv command_words(const Command& command);

// The argument vector of the per-process transport: "tmux", "-u" (UTF-8 output whatever the
// locale; otherwise tmux prints "_" for every non-ASCII character), the socket and
// configuration options, then the command's words. For a server on a remote host, the ssh
// command line that runs exactly that on the host.
Argv process_argv(const Command& command);

// The argv of a program to run where the server is: as it is here, or through ssh there (with
// its standard input forwarded when `input` says so).
Argv where_the_server_is(const Socket& socket, Argv argv, SshInput input = SshInput::kNone);

// "tmux", "-u" and the socket's path option, for a client the module starts itself.
Argv client_argv(const Socket& socket);

// The bytes the tmux client packs the command's words into (each with its NUL). A client
// refuses to send a command whose words, with its message's own header, exceed one message
// of 16 KiB: "command too long", or "failed to send command".
std::size_t packed_size(const Command& command);
constexpr std::size_t kLargestCommand = 16384 - 16 - 4;

}  // namespace vordalin::tmux
