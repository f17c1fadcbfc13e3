// Where the tmux client finds the user's default server, by tmux's own rule.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vordalin::tmux {

// The socket path a tmux client run by user `uid`, with this process's environment, uses
// when given none: the server of the tmux session it runs in ($TMUX), else "default" in the
// directory "tmux-UID" under a non-empty $TMUX_TMPDIR or else /tmp, resolved as tmux
// resolves it when it exists.
std::string default_socket(std::uint32_t uid);

// The path a tmux client of ours on this machine connects to: the one given, else this user's
// default server's.
std::string local_socket(const std::optional<std::string>& given);

}  // namespace vordalin::tmux
