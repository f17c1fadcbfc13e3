#include "core/window.hpp"

#include "core/error.hpp"
#include "core/fields.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kMetadataFormat =
    "#{window_index}|#{window_name}|#{window_active}|#{window_layout}|#{window_width}|#{window_height}|"
    "#{window_flags}";
constexpr std::size_t kMetadataFields = 7;
constexpr std::string_view kIndexAndName = "#{window_index}|#{window_name}";

std::string target_of(const WindowRecord& window) { return window_target(window.session_name, window.index); }

// A size field read strictly, except that an empty one is absent.
std::optional<std::uint32_t> strict_size(std::string_view field, std::string_view what) {
    if (text::is_blank(field)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(read_number(text::trim(field), kMaxU32, what, field));
}

}  // namespace

bool kill_window(const WindowRecord& window) {
    return succeeds(tmux_argv(window.socket, {"kill-window", "-t", target_of(window)}));
}

bool select_window(const WindowRecord& window) {
    return succeeds(tmux_argv(window.socket, {"select-window", "-t", target_of(window)}));
}

void rename_window(WindowRecord& window, const std::string& new_name) {
    if (!succeeds(tmux_argv(window.socket, {"rename-window", "-t", target_of(window), new_name}))) {
        throw Error("failed to rename window to '" + new_name + "'", Error::Kind::kValue);
    }
    window.name = new_name;
}

std::vector<PaneRecord> window_panes(const WindowRecord& window) {
    std::vector<PaneRecord> panes;
    std::optional<std::string> output = quiet_output(tmux_argv(
        window.socket, {"list-panes", "-t", target_of(window), "-F", "#{pane_index}|#{pane_id}|#{pane_title}"}));
    if (!output) {
        return panes;
    }
    for (const IndexedFields& line : indexed_lines(*output, 3)) {
        panes.push_back(PaneRecord{window.session_name, window.index, line.index, std::string(line.fields[1]),
                                   std::string(line.fields[2]), window.socket});
    }
    return panes;
}

WindowMetadata window_metadata(const WindowRecord& window) {
    std::string target = target_of(window);
    std::string output = checked_output(
        strictly_resolved(window.socket, target, {"display-message", "-p", "-t", target, kMetadataFormat}),
        {"tmux failed: ", ErrorText::kTrimmed});
    std::string_view line = text::trim(output);
    std::vector<std::string_view> fields = text::split_fields(line, kFieldSeparator);
    if (fields.size() != kMetadataFields) {
        throw Error("unexpected tmux window metadata output: " + text::quote(line));
    }
    WindowMetadata metadata;
    metadata.index = static_cast<std::uint32_t>(read_number(fields[0], kMaxU32, "bad window_index"));
    metadata.width = strict_size(fields[4], "bad window_width");
    metadata.height = strict_size(fields[5], "bad window_height");
    metadata.name = fields[1];
    metadata.active = fields[2] == "1";
    metadata.layout = fields[3];
    metadata.flags = fields[6];
    return metadata;
}

std::optional<WindowRecord> step_window(const WindowRecord& window, Step step) {
    std::string_view move = step == Step::kNext ? "next-window" : "previous-window";
    std::string session = session_target(window.session_name);
    runner::Result moved =
        runner::run(tmux_argv(window.socket, {move, "-t", session}),
                    runner::Streams{runner::Input::kNull, runner::Output::kNull, runner::Output::kNull});
    if (!moved.ok()) {
        return std::nullopt;
    }
    // "=name:" names the session's current window; a bare "=name" answers with empty fields.
    std::optional<std::string> report =
        quiet_output(tmux_argv(window.socket, {"display-message", "-p", "-t", session + ":", kIndexAndName}));
    if (!report) {
        return std::nullopt;
    }
    std::optional<IndexedFields> fields = indexed_fields(text::trim(*report), 2);
    if (!fields) {
        return std::nullopt;
    }
    return WindowRecord{window.session_name, fields->index, window.socket, std::string(fields->fields[1])};
}

}  // namespace vordalin::core
