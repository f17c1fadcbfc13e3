// Where the tmux client finds the user's default server, by tmux's own rule.
#pragma once

#include <cstdint>
#include <string>

namespace vordalin::tmux {

// The socket path a tmux client run by user `uid`, with this process's environment, uses
// when given none: the server of the tmux session it runs in ($TMUX), else "default" in the
// directory "tmux-UID" under a non-empty $TMUX_TMPDIR or else /tmp, resolved as tmux
// resolves it when it exists.
std::string default_socket(std::uint32_t uid);

}  // namespace vordalin::tmux
