#include "tmux/format.hpp"

namespace vordalin::tmux {

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

std::string literal_format(std::string_view text) {
    return hash_escaped(text, "#");
}

std::string format_literal(std::string_view text) {
    return hash_escaped(text, "#,}");
}

}  // namespace vordalin::tmux
