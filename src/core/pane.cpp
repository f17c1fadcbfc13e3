#include "core/pane.hpp"

#include <array>
#include <utility>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kNewPaneFormat = "#{pane_index}|#{pane_id}|#{pane_title}";

// The trimmed output when it is not empty.
std::optional<std::string> non_empty(const std::optional<std::string>& output) {
    if (!output) {
        return std::nullopt;
    }
    std::string_view trimmed = text::trim(*output);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return std::string(trimmed);
}

// The lines from the first to the last that hold more than whitespace, joined by "\n".
std::string trim_capture(std::string_view output) {
    std::vector<std::string_view> lines = text::split_lines(output);
    std::size_t first = 0;
    while (first < lines.size() && text::is_blank(lines[first])) {
        ++first;
    }
    std::size_t end = lines.size();
    while (end > first && text::is_blank(lines[end - 1])) {
        --end;
    }
    std::string joined;
    for (std::size_t i = first; i < end; ++i) {
        if (i != first) {
            joined += '\n';
        }
        joined += lines[i];
    }
    return joined;
}

}  // namespace

void select_pane(const PaneRecord& pane) {
    run_checked(tmux_argv(pane.socket, {"select-pane", "-t", pane.pane_id}), {"select pane failed: "});
}

void clear_pane_history(const PaneRecord& pane) {
    run_checked(tmux_argv(pane.socket, {"clear-history", "-t", pane.pane_id}), {"tmux clear-history failed: "});
}

void kill_pane(const PaneRecord& pane) {
    run_checked(tmux_argv(pane.socket, {"kill-pane", "-t", pane.pane_id}), {"tmux kill-pane failed: "});
}

bool pane_is_alive(const PaneRecord& pane) {
    std::string output = checked_output(
        strictly_resolved(pane.socket, pane.pane_id, {"display-message", "-p", "-t", pane.pane_id, "#{pane_dead}"}),
        {"tmux display-message failed: "});
    return text::trim(output) == "0";
}

void set_pane_title(PaneRecord& pane, const std::string& title) {
    run_checked(tmux_argv(pane.socket, {"select-pane", "-T", title, "-t", pane.pane_id}),
                {"tmux select-pane -T failed: "});
    pane.title = title;
}

void send_keys(const PaneRecord& pane, const std::string& keys, bool enter, bool clear_first) {
    if (clear_first) {
        run_checked(tmux_argv(pane.socket, {"send-keys", "-t", pane.pane_id, "C-l"}), {"tmux clear failed: "});
    }
    Argv argv = tmux_argv(pane.socket, {"send-keys", "-t", pane.pane_id, keys});
    if (enter) {
        argv.emplace_back("Enter");
    }
    run_checked(argv, {"send keys failed: "});
}

std::optional<Text> capture_pane(const PaneRecord& pane, bool trim, std::optional<std::uint32_t> scroll_back,
                                 bool full) {
    Argv argv = tmux_argv(pane.socket, {"capture-pane", "-p", "-t", pane.pane_id});
    if (full) {
        argv.emplace_back("-S");
        argv.emplace_back("-");
    } else if (scroll_back) {
        argv.emplace_back("-S");
        argv.emplace_back("-").append(std::to_string(*scroll_back));
    }
    std::optional<Text> output = quiet_text(argv);
    if (!output || !trim) {
        return output;
    }
    return Text(trim_capture(output->view()));
}

void bash_shell(const PaneRecord& pane, bool respawn) {
    Argv argv = respawn ? tmux_argv(pane.socket, {"respawn-pane", "-k", "-t", pane.pane_id, "bash"})
                        : tmux_argv(pane.socket, {"send-keys", "-t", pane.pane_id, "exec bash", "Enter"});
    run_checked(argv, {"tmux change shell failed: "});
}

std::string keep_wrapper(std::string_view command) {
    // The command is the whole script of the inner sh, quoted for the shell tmux runs the
    // argument with; only after that sh has ended does the outer shell become $SHELL.
    // Appending "; exec" inside the script instead would break on commands that end in
    // "&", in a comment, or are empty; "--" keeps a command starting with "-" or "+" from
    // being read as options.
    std::string wrapped = "sh -lc -- '";
    for (char c : command) {
        if (c == '\'') {
            wrapped += "'\\''";
        } else {
            wrapped += c;
        }
    }
    wrapped += "'; exec \"$SHELL\"";
    return wrapped;
}

PaneRecord split_pane(const PaneRecord& pane, bool horizontal, const std::optional<std::string>& command, bool keep) {
    Argv argv = tmux_argv(pane.socket, {"split-window", horizontal ? "-h" : "-v", "-t", pane.pane_id, "-P", "-F",
                                        kNewPaneFormat});
    if (command) {
        argv.push_back(keep ? keep_wrapper(*command) : *command);
    }
    std::string output = checked_output(argv, {"tmux split-window failed: "});
    std::string_view line = text::trim(output);
    std::vector<std::string_view> fields = text::split_fields(line, kFieldSeparator);
    if (fields.size() != 3) {
        throw Error("unexpected split-window output: " + text::quote(line));
    }
    auto index = static_cast<std::uint32_t>(read_number(fields[0], kMaxU32, "bad pane_index"));
    return PaneRecord{pane.session_name, pane.window_index, index, std::string(fields[1]), std::string(fields[2]),
                      pane.socket};
}

void resize_pane(const PaneRecord& pane, const std::string& direction, std::uint32_t amount) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kFlags{{
        {"left", "-L"},
        {"right", "-R"},
        {"up", "-U"},
        {"down", "-D"},
    }};
    std::string_view flag;
    for (const auto& [name, option] : kFlags) {
        if (direction == name) {
            flag = option;
        }
    }
    if (flag.empty()) {
        throw Error("direction must be one of: left, right, up, down");
    }
    run_checked(tmux_argv(pane.socket, {"resize-pane", flag, "-t", pane.pane_id, std::to_string(amount)}),
                {"tmux resize-pane failed: "});
}

void respawn_pane(const PaneRecord& pane, const std::optional<std::string>& command, bool kill) {
    Argv argv = tmux_argv(pane.socket, {"respawn-pane", "-t", pane.pane_id});
    if (kill) {
        argv.emplace_back("-k");
    }
    if (command) {
        argv.push_back(*command);
    }
    run_checked(argv, {"tmux respawn-pane failed: "});
}

std::optional<std::string> current_command(const PaneRecord& pane) {
    return non_empty(
        quiet_output(tmux_argv(pane.socket, {"display-message", "-p", "-t", pane.pane_id, "#{pane_current_command}"})));
}

std::optional<std::string> current_commandline(const PaneRecord& pane) {
    std::optional<std::string> pid =
        non_empty(quiet_output(tmux_argv(pane.socket, {"display-message", "-p", "-t", pane.pane_id, "#{pane_pid}"})));
    if (!pid) {
        return std::nullopt;
    }
    return non_empty(quiet_output({"ps", "-p", *pid, "-o", "args="}));
}

}  // namespace vordalin::core
