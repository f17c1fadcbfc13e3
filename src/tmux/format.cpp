#include "tmux/format.hpp"

namespace vordalin::tmux {

namespace {

// The text with "#" before each of the given characters: how formats escape them.
std::string hash_escaped(std::string_view text, std::string_view specials) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
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
