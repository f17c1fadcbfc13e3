// How text is written for tmux's command language to read back exactly, as the channel
// writes it (one command per line).
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

}  // namespace vordalin::channel
