#include "core/error.hpp"

#include <array>

#include "text/text.hpp"

namespace vordalin::core {

namespace {

// How tmux starts a line that says its target or its server is missing.
constexpr std::array<std::string_view, 5> kMissingLeads{
    "can't find ", "no such session: ", "no such window: ", "no such pane: ", "no server running on ",
};
// A socket that is not there: tmux names it between these two.
constexpr std::string_view kConnecting = "error connecting to ";
constexpr std::string_view kNoSuchFile = "(No such file or directory)";

bool line_says_not_found(std::string_view line) {
    for (std::string_view lead : kMissingLeads) {
        if (line.starts_with(lead)) {
            return true;
        }
    }
    return line.starts_with(kConnecting) && line.ends_with(kNoSuchFile);
}

}  // namespace

bool says_not_found(std::string_view error_text) {
    for (std::string_view line : text::split_lines(error_text)) {
        if (line_says_not_found(text::trim(line))) {
            return true;
        }
    }
    return false;
}

Error Error::tmux(std::string message, TmuxAnswer answer) {
    Error error(std::move(message), says_not_found(answer.error_text) ? Kind::kNotFound : Kind::kTmux);
    error.answer_ = std::move(answer);
    return error;
}

Error Error::not_found(std::string message, TmuxAnswer answer) {
    Error error(std::move(message), Kind::kNotFound);
    error.answer_ = std::move(answer);
    return error;
}

}  // namespace vordalin::core
