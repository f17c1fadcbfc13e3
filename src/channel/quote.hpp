// How text is written for tmux to read back exactly: its command language, as the channel
// writes it (one command per line), and its formats.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vordalin::channel {

// The argument in double quotes, read back by tmux's parser as exactly these bytes: printable
// ASCII stays, except the four characters the parser treats specially inside double quotes
// (", \, $ and ~); every other byte, and those four, is written as a backslash and three
// octal digits. So neither a line end, nor ";", "{", "#" or "%if" can change the command.
std::string quote_argument(std::string_view argument);

// The words of one command, each quoted, joined by blanks.
std::string command_line(const std::vector<std::string>& words);

// Text tmux would expand as a format (#{...}, #(...) runs a shell command in the server)
// taken literally: every "#" doubled, except a run of "#" directly before "[", which tmux
// keeps as it is.
std::string literal_format(std::string_view text);

// Text as a literal argument of a format's modifier (#{==:...,TEXT}): "#", "," and "}"
// escaped with "#", so it can neither end the modifier nor start a format of its own.
std::string format_literal(std::string_view text);

}  // namespace vordalin::channel
