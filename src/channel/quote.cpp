#include "channel/quote.hpp"

namespace vordalin::channel {

namespace {

// The text with "#" before each of the given characters: how formats escape them. A run of
// "#" directly before "[" is the exception: tmux keeps such a run as it is (a style for the
// status line to draw), so it goes unchanged, or it would be stored doubled.
std::string hash_escaped(std::string_view text, std::string_view specials) {
    std::string escaped;
    escaped.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (c == '#') {
            std::size_t end = text.find_first_not_of('#', at);
            std::string_view run = text.substr(at, end - at);
            bool style = end != std::string_view::npos && text[end] == '[';
            for (std::size_t copies = style ? 1 : 2; copies > 0; --copies) {
                escaped += run;
            }
            at += run.size() - 1;
            continue;
        }
        if (specials.find(c) != std::string_view::npos) {
            escaped += '#';
        }
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::string quote_argument(std::string_view argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\' && byte != '$' && byte != '~';
        if (plain) {
            quoted += c;
            continue;
        }
        quoted += '\\';
        quoted += static_cast<char>('0' + (byte >> 6));
        quoted += static_cast<char>('0' + ((byte >> 3) & 7));
        quoted += static_cast<char>('0' + (byte & 7));
    }
    quoted += '"';
    return quoted;
}

std::string command_line(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += line.empty() ? "" : " ";
        line += quote_argument(word);
    }
    return line;
}

std::string literal_format(std::string_view text) {
    return hash_escaped(text, "#");
}

std::string format_literal(std::string_view text) {
    return hash_escaped(text, "#,}");
}

}  // namespace vordalin::channel
