// tmux on another machine, reached with ssh: the host and its ssh options, the one shared
// connection per host, and the command line that carries tmux's words through the remote
// shell unchanged.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vordalin::tmux {

using Argv = std::vector<std::string>;

// A host as ssh takes it (user@box, an alias of the ssh configuration), and the options given
// to ssh before it. Two remotes are the same when both are: options may change which machine a
// name reaches (a port, a configuration file).
struct Remote {
    std::string host;
    std::vector<std::string> options;

    friend bool operator==(const Remote&, const Remote&) = default;
};

// The text as one word of a POSIX shell's command line: in single quotes unless it is made only
// of characters no shell reads specially.
std::string shell_word(std::string_view text);

// The command line for the remote shell: `argv` quoted word by word after "exec", so the shell
// runs that program with exactly those arguments and leaves no process of its own behind.
std::string remote_command(const Argv& argv);

// How a run over ssh uses its standard input: not at all (one command per call), or as the
// input of the remote program (a persistent channel).
enum class SshInput { kNone, kForwarded };

// The argv that runs `command` (a line for the remote shell) on the remote host. Every call to
// a host shares one connection, set up by the first and kept a short while after the last;
// ssh never asks for a password or a host key (BatchMode) and gives up on a host that does not
// answer (ConnectTimeout, 10 s unless the remote's options say otherwise).
Argv ssh_argv(const Remote& remote, SshInput input, const std::string& command);

// The connection ssh_argv shares for this remote, if any: its control socket. Nothing when the
// module's private directory for them cannot be had; calls then connect one by one.
std::optional<std::string> control_path(const Remote& remote);

// ssh's exit status when ssh itself failed (connecting, authenticating, the connection lost);
// otherwise it exits with the remote program's status.
constexpr int kSshFailed = 255;
// The remote shell's status when it cannot run the program: not found, or not executable.
constexpr int kNotFound = 127;
constexpr int kNotExecutable = 126;

}  // namespace vordalin::tmux
