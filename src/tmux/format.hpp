// How text is written into tmux's formats so that tmux reads it back as that text. Only the
// arguments tmux expands take it; which they are is noted where each command is built.
#pragma once

#include <string>
#include <string_view>

namespace vordalin::tmux {

// Text tmux would expand as a format (#{...}, and #(...) runs a shell command in the server)
// taken literally: every "#" doubled, except a run of "#" directly before "[", which tmux
// keeps as it is.
std::string literal_format(std::string_view text);

// Text as a literal argument of a format's modifier (#{==:...,TEXT}): "#", "," and "}"
// escaped with "#", so it can neither end the modifier nor start a format of its own.
std::string format_literal(std::string_view text);

}  // namespace vordalin::tmux
