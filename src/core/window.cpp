#include "core/window.hpp"

#include <array>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::array<FormatField, 2> kIndexAndName{{{"window_index"}, {"window_name", true}}};
constexpr std::array<FormatField, 3> kPaneFields{{{"pane_index"}, {"pane_id"}, {"pane_title", true}}};

// The window's exact target; nothing when its session name can name no session.
std::optional<std::string> target_of(const WindowRecord& window) {
    if (!is_session_name(window.session_name)) {
        return std::nullopt;
    }
    return window_target(window.session_name, window.index);
}

// A size field read strictly, except that an empty one is absent.
std::optional<std::uint32_t> strict_size(std::string_view field, std::string_view what) {
    if (text::is_blank(field)) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(read_number(text::trim(field), kMaxU32, what, field));
}

// A quiet boolean command on the window's target.
bool window_command(const WindowRecord& window, std::string_view subcommand) {
    std::optional<std::string> target = target_of(window);
    return target && succeeds(changing(window.socket, {subcommand, "-t", *target}));
}

}  // namespace

bool kill_window(const WindowRecord& window) {
    return window_command(window, "kill-window");
}

bool select_window(const WindowRecord& window) {
    return window_command(window, "select-window");
}

void rename_window(WindowRecord& window, const std::string& new_name) {
    std::string failure = "failed to rename window to '" + new_name + "'";
    if (auto reason = refused_as_name(new_name, "window name")) {
        throw Error(failure + ": " + *reason, Error::Kind::kValue);
    }
    std::optional<std::string> target = target_of(window);
    // tmux expands formats in the new name.
    if (!target ||
        !succeeds(changing(window.socket, {"rename-window", "-t", *target, "--", literal_format(new_name)}))) {
        throw Error(failure, Error::Kind::kValue);
    }
    window.name = new_name;
}

std::vector<PaneRecord> window_panes(const WindowRecord& window) {
    std::vector<PaneRecord> panes;
    std::optional<std::string> target = target_of(window);
    if (!target) {
        return panes;
    }
    static const std::string kFormat = record_format(kPaneFields);
    std::optional<std::string> output =
        quiet_bytes(reading(window.socket, {"list-panes", "-t", *target, "-F", kFormat}));
    if (!output) {
        return panes;
    }
    for (const Indexed& record : indexed_records(*output, kPaneFields)) {
        panes.push_back(PaneRecord{window.session_name, window.index, record.index,
                                   text::decode_lossy(record.values[1]), text::decode_lossy(record.values[2]),
                                   window.socket});
    }
    return panes;
}

WindowMetadata read_window_metadata(std::span<const std::string_view> fields) {
    WindowMetadata metadata;
    metadata.index = static_cast<std::uint32_t>(read_number(fields[0], kMaxU32, "bad window_index"));
    metadata.width = strict_size(fields[4], "bad window_width");
    metadata.height = strict_size(fields[5], "bad window_height");
    metadata.name = text::decode_lossy(fields[1]);
    metadata.active = fields[2] == "1";
    metadata.layout = text::decode_lossy(fields[3]);
    metadata.flags = text::decode_lossy(fields[6]);
    return metadata;
}

WindowMetadata window_metadata(const WindowRecord& window) {
    constexpr FailureWording kFailure{"tmux failed: ", ErrorText::kTrimmed};
    std::optional<std::string> target = target_of(window);
    if (!target) {
        raise_failure(missing_session(window.session_name), kFailure);
    }
    static const std::string kFormat = record_format(kWindowMetadataFields);
    std::string output = checked_bytes(
        strictly_resolved(window.socket, *target, {"display-message", "-p", "-t", *target, kFormat}), kFailure);
    std::string printed = output;  // the record is read in place
    std::optional<Values> fields = read_record(output, kWindowMetadataFields);
    if (!fields) {
        throw Error("unexpected tmux window metadata output: " + text::quote(text::trim(text::decode_lossy(printed))));
    }
    return read_window_metadata(*fields);
}

std::optional<WindowRecord> step_window(const WindowRecord& window, Step step) {
    if (!is_session_name(window.session_name)) {
        return std::nullopt;
    }
    std::string_view move = step == Step::kNext ? "next-window" : "previous-window";
    std::string session = session_target(window.session_name);
    runner::Result moved =
        run_tmux(changing(window.socket, {move, "-t", session}), runner::Output::kNull, runner::Output::kNull);
    if (!moved.ok()) {
        return std::nullopt;
    }
    // "=name:" names the session's current window; a bare "=name" answers with empty fields.
    static const std::string kFormat = record_format(kIndexAndName);
    std::optional<std::string> report =
        quiet_bytes(reading(window.socket, {"display-message", "-p", "-t", session + ":", kFormat}));
    if (!report) {
        return std::nullopt;
    }
    std::optional<Indexed> record = indexed_record(*report, kIndexAndName);
    if (!record) {
        return std::nullopt;
    }
    return WindowRecord{window.session_name, record->index, window.socket, text::decode_lossy(record->values[1])};
}

}  // namespace vordalin::core
