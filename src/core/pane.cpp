#include "core/pane.hpp"

#include <array>
#include <utility>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/located.hpp"
#include "core/window.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::array<FormatField, 3> kNewPaneFields{{{"pane_index"}, {"pane_id"}, {"pane_title", true}}};

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

// A command on the pane, through its id; a record made by hand may hold any text there.
Command on_pane(const PaneRecord& pane, std::initializer_list<std::string_view> args) {
    return on_target(changing(pane.socket, args), pane.pane_id);
}

Command reading_pane(const PaneRecord& pane, std::initializer_list<std::string_view> args) {
    return on_target(reading(pane.socket, args), pane.pane_id);
}

}  // namespace

void select_pane(const PaneRecord& pane) {
    run_checked(on_pane(pane, {"select-pane", "-t", pane.pane_id}), {"select pane failed: "});
}

void clear_pane_history(const PaneRecord& pane) {
    run_checked(on_pane(pane, {"clear-history", "-t", pane.pane_id}), {"tmux clear-history failed: "});
}

void kill_pane(const PaneRecord& pane) {
    run_checked(on_pane(pane, {"kill-pane", "-t", pane.pane_id}), {"tmux kill-pane failed: "});
}

bool pane_is_alive(const PaneRecord& pane) {
    std::string output = checked_output(
        strictly_resolved(pane.socket, pane.pane_id, {"display-message", "-p", "-t", pane.pane_id, "#{pane_dead}"}),
        {"tmux display-message failed: "});
    return text::trim(output) == "0";
}

void set_pane_title(PaneRecord& pane, const std::string& title) {
    constexpr FailureWording kFailure{"tmux select-pane -T failed: "};
    // tmux ignores a title it cannot show, yet succeeds; and it expands formats in it.
    if (text::has_unshowable(title)) {
        refuse("a pane title cannot hold control characters", kFailure);
    }
    run_checked(on_pane(pane, {"select-pane", "-T", literal_format(title), "-t", pane.pane_id}), kFailure);
    pane.title = title;
}

void send_keys(const PaneRecord& pane, const std::string& keys, bool enter, bool clear_first, bool literal) {
    if (clear_first) {
        run_checked(typing(pane.socket, pane.pane_id, {"send-keys", "-t", pane.pane_id, "C-l"}),
                    {"tmux clear failed: "});
    }
    Command command = typing(pane.socket, pane.pane_id, {"send-keys", "-t", pane.pane_id});
    if (literal) {
        command.append({"-l"});
    }
    command.append({"--", keys});
    if (enter) {
        // "-l" would type "Enter" too, so the key goes in a command of its own, by the same client.
        if (literal) {
            command.chain();
            command.append({"send-keys", "-t", pane.pane_id});
        }
        command.append({"Enter"});
    }
    run_checked(command, {"send keys failed: "});
}

namespace {

Command capture_command(const PaneRecord& pane, std::optional<std::uint32_t> scroll_back, bool full,
                        bool escapes = false, bool join = false) {
    // "-p" stays first: a transport may take the capture another way in its place.
    Command command = reading_pane(pane, {"capture-pane", "-p", "-t", pane.pane_id});
    command.traits.captures = true;
    if (escapes) {
        command.append({"-e"});
    }
    if (join) {
        command.append({"-J"});
    }
    if (full) {
        command.append({"-S", "-"});
    } else if (scroll_back) {
        command.append({"-S", "-" + std::to_string(*scroll_back)});
    }
    return command;
}

}  // namespace

std::optional<Text> capture_pane(const PaneRecord& pane, bool trim, std::optional<std::uint32_t> scroll_back, bool full,
                                 bool escapes, bool join) {
    std::optional<Text> output = quiet_text(capture_command(pane, scroll_back, full, escapes, join));
    if (!output || !trim) {
        return output;
    }
    return Text(trim_capture(output->view()));
}

Text checked_capture(const PaneRecord& pane, bool full, std::string_view failure) {
    return checked_text(capture_command(pane, std::nullopt, full), {failure});
}

Text checked_capture_span(const PaneRecord& pane, std::optional<std::int64_t> start, std::optional<std::int64_t> end,
                          bool join, std::string_view failure) {
    Command command = reading_pane(pane, {"capture-pane", "-p", "-t", pane.pane_id, "-S"});
    command.traits.captures = true;
    command.args.push_back(start ? std::to_string(*start) : "-");
    if (end) {
        command.append({"-E", std::to_string(*end)});
    }
    if (join) {
        command.append({"-J"});
    }
    return checked_text(command, {failure});
}

std::optional<std::uint32_t> pane_pid(const PaneRecord& pane) {
    std::optional<std::string> output = quiet_output(
        strictly_resolved(pane.socket, pane.pane_id, {"display-message", "-p", "-t", pane.pane_id, "#{pane_pid}"}));
    if (!output) {
        return std::nullopt;
    }
    text::ParsedNumber pid = text::parse_unsigned(text::without_line_end(*output), kMaxU32);
    if (!pid.ok()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(pid.value);
}

void bash_shell(const PaneRecord& pane, bool respawn) {
    Command command = respawn
                          ? on_pane(pane, {"respawn-pane", "-k", "-t", pane.pane_id})
                          : typing(pane.socket, pane.pane_id, {"send-keys", "-t", pane.pane_id, "exec bash", "Enter"});
    if (respawn) {
        command.starts_program(false);
        command.append({"bash"});
    }
    run_checked(command, {"tmux change shell failed: "});
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

PaneRecord split_pane(const PaneRecord& pane, bool horizontal, const std::optional<std::string>& command, bool keep,
                      bool select, std::optional<std::uint32_t> size, const std::optional<std::string>& start_directory,
                      const std::optional<Environment>& environment) {
    static const std::string kFormat = record_format(kNewPaneFields);
    Command split = on_pane(pane, {"split-window", horizontal ? "-h" : "-v", "-t", pane.pane_id, "-P", "-F", kFormat});
    if (!select) {
        split.append({"-d"});
    }
    if (size) {
        split.append({"-l", std::to_string(*size)});
    }
    add_start_options(split, start_directory, environment);
    if (command) {
        split.args.emplace_back("--");
        split.args.push_back(keep ? keep_wrapper(*command) : *command);
    }
    std::string output = checked_bytes(split, {"tmux split-window failed: "});
    std::string printed = output;  // the record is read in place
    std::optional<Values> fields = read_record(output, kNewPaneFields);
    if (!fields) {
        throw Error("unexpected split-window output: " + text::quote(text::trim(text::decode_lossy(printed))));
    }
    auto index = static_cast<std::uint32_t>(read_number((*fields)[0], kMaxU32, "bad pane_index"));
    return PaneRecord{
        pane.session_name, pane.window_index, index, text::decode_lossy((*fields)[1]), text::decode_lossy((*fields)[2]),
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
    run_checked(on_pane(pane, {"resize-pane", flag, "-t", pane.pane_id, std::to_string(amount)}),
                {"tmux resize-pane failed: "});
}

void respawn_pane(const PaneRecord& pane, const std::optional<std::string>& command, bool kill) {
    Command respawn = on_pane(pane, {"respawn-pane", "-t", pane.pane_id});
    if (kill) {
        respawn.args.emplace_back("-k");
    }
    respawn.starts_program(false);
    if (command) {
        respawn.args.emplace_back("--");
        respawn.args.push_back(*command);
    }
    run_checked(respawn, {"tmux respawn-pane failed: "});
}

std::optional<std::string> current_command(const PaneRecord& pane) {
    return non_empty(
        quiet_output(reading_pane(pane, {"display-message", "-p", "-t", pane.pane_id, "#{pane_current_command}"})));
}

std::optional<std::string> current_commandline(const PaneRecord& pane) {
    std::optional<std::string> pid =
        non_empty(quiet_output(reading_pane(pane, {"display-message", "-p", "-t", pane.pane_id, "#{pane_pid}"})));
    if (!pid) {
        return std::nullopt;
    }
    return non_empty(program_output(pane.socket, {"ps", "-p", *pid, "-o", "args="}));
}

namespace {

constexpr std::string_view kDisplayFailure = "tmux display-message failed: ";

}  // namespace

WindowRecord pane_window(const PaneRecord& pane) {
    return window_at(pane.socket, pane.pane_id, kDisplayFailure);
}

std::monostate swap_panes(const PaneRecord& pane, const PaneRecord& other) {
    same_server(pane.socket, other.socket, "the other pane");
    // "-d": the panes trade places, and each window keeps its active pane.
    Command swap = on_pane(pane, {"swap-pane", "-d", "-s", pane.pane_id, "-t", other.pane_id});
    run_checked(on_target(std::move(swap), other.pane_id), {"tmux swap-pane failed: "});
    return {};
}

PaneRecord join_pane(const PaneRecord& pane, const WindowRecord& window, bool horizontal,
                     std::optional<std::uint32_t> size) {
    constexpr std::string_view kFailure = "tmux join-pane failed: ";
    same_server(pane.socket, window.socket, "the window");
    Command join = on_pane(
        pane, {"join-pane", horizontal ? "-h" : "-v", "-s", pane.pane_id, "-t", exact_window_target(window, kFailure)});
    if (size) {
        join.append({"-l", std::to_string(*size)});
    }
    // The same client reports where the pane went.
    join.chain();
    join.append({"display-message", "-p", "-t", pane.pane_id, pane_record_format()});
    return read_pane_record(checked_bytes(join, {kFailure}), pane.socket);
}

WindowRecord break_pane(const PaneRecord& pane, const std::optional<std::string>& name, bool select) {
    constexpr std::string_view kFailure = "tmux break-pane failed: ";
    if (name) {
        if (auto reason = refused_as_name(*name, "window name")) {
            throw Error(std::string(kFailure) + *reason, Error::Kind::kValue);
        }
    }
    // Without a target tmux would put the window in its client's current session.
    std::string session = display_strictly(pane.socket, pane.pane_id, "#{session_id}", kFailure);
    Command move = on_pane(pane, {"break-pane", "-s", pane.pane_id, "-t", session + ":"});
    if (!select) {
        move.append({"-d"});
    }
    if (name) {
        // break-pane takes the name as it is, formats and all.
        move.append({"-n", *name});
    }
    // A pane alone in its window moves with its window, and then tmux prints nothing for
    // "-P": the same client reports where it went instead.
    move.chain();
    move.append({"display-message", "-p", "-t", pane.pane_id, window_record_format()});
    return read_window_record(checked_bytes(move, {kFailure}), pane.socket);
}

std::string display_pane(const PaneRecord& pane, const std::string& format) {
    return text::decode_lossy(display_strictly(pane.socket, pane.pane_id, format, kDisplayFailure));
}

}  // namespace vordalin::core
