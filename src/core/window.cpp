#include "core/window.hpp"

#include <algorithm>
#include <array>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/located.hpp"
#include "core/refusal.hpp"
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
    // tmux doubles the activity flag's "#" here, as for a status line that expands formats.
    std::string flags = text::decode_lossy(fields[6]);
    for (std::size_t at = flags.find("##"); at != std::string::npos; at = flags.find("##", at + 1)) {
        flags.erase(at, 1);
    }
    metadata.flags = std::move(flags);
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

std::string exact_window_target(const WindowRecord& window, std::string_view failure) {
    std::optional<std::string> target = target_of(window);
    if (!target) {
        raise_failure(missing_session(window.session_name), {failure});
    }
    return *target;
}

void same_server(const Socket& one, const Socket& other, std::string_view what) {
    if (one.path != other.path || !one.same_place(other)) {
        throw Error(std::string(what) + " is on another server", Error::Kind::kValue);
    }
}

namespace {

constexpr std::array<std::string_view, 5> kLayoutNames{"even-horizontal", "even-vertical", "main-horizontal",
                                                       "main-vertical", "tiled"};

// tmux's checksum of a layout string's body, which the string's first four hex digits give.
std::uint16_t layout_checksum(std::string_view body) {
    std::uint16_t sum = 0;
    for (char c : body) {
        sum = static_cast<std::uint16_t>((sum >> 1) + ((sum & 1) << 15));
        sum = static_cast<std::uint16_t>(sum + static_cast<unsigned char>(c));
    }
    return sum;
}

bool is_layout_string(std::string_view layout) {
    if (layout.size() < 5 || layout[4] != ',') {
        return false;
    }
    std::uint16_t given = 0;
    for (char c : layout.substr(0, 4)) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) {
            return false;
        }
        given = static_cast<std::uint16_t>(given * 16 + digit);
    }
    return layout_checksum(layout.substr(5)) == given;
}

}  // namespace

std::monostate select_layout(const WindowRecord& window, const std::string& layout) {
    constexpr std::string_view kFailure = "tmux select-layout failed: ";
    if (std::find(kLayoutNames.begin(), kLayoutNames.end(), layout) == kLayoutNames.end() &&
        !is_layout_string(layout)) {
        throw Error("not a layout: " + text::quote(layout) +
                        " (one of even-horizontal, even-vertical, main-horizontal, main-vertical, tiled, or a "
                        "layout string as WindowMetadata.layout gives it)",
                    Error::Kind::kValue);
    }
    std::string target = exact_window_target(window, kFailure);
    run_or_refuse(changing(window.socket, {"select-layout", "-t", target, "--", layout}), kFailure);
    return {};
}

std::monostate resize_window(const WindowRecord& window, std::optional<std::uint32_t> width,
                             std::optional<std::uint32_t> height) {
    constexpr std::string_view kFailure = "tmux resize-window failed: ";
    if (!width && !height) {
        throw Error("resize needs a width, a height or both", Error::Kind::kValue);
    }
    Command resize = changing(window.socket, {"resize-window", "-t", exact_window_target(window, kFailure)});
    if (width) {
        resize.append({"-x", std::to_string(*width)});
    }
    if (height) {
        resize.append({"-y", std::to_string(*height)});
    }
    run_checked(resize, {kFailure});
    return {};
}

std::monostate swap_windows(const WindowRecord& window, const WindowRecord& other) {
    constexpr std::string_view kFailure = "tmux swap-window failed: ";
    same_server(window.socket, other.socket, "the other window");
    // "-d": the windows trade places and nothing is selected; a current window stays current.
    run_checked(changing(window.socket, {"swap-window", "-d", "-s", exact_window_target(window, kFailure), "-t",
                                         exact_window_target(other, kFailure)}),
                {kFailure});
    return {};
}

WindowRecord move_window(const WindowRecord& window, std::optional<std::uint32_t> index,
                         const std::optional<SessionRecord>& session) {
    constexpr std::string_view kFailure = "tmux move-window failed: ";
    std::string source = exact_window_target(window, kFailure);
    std::string destination_session = session ? session->name : window.session_name;
    if (session) {
        same_server(window.socket, session->socket, "the session");
        if (!is_session_name(session->name)) {
            raise_failure(missing_session(session->name), {kFailure});
        }
    }
    // The window keeps its id wherever it goes: the same client moves it and reports it.
    std::string id = display_strictly(window.socket, source, "#{window_id}", kFailure);
    std::string destination = session_target(destination_session) + ":";
    if (index) {
        destination += "=" + std::to_string(*index);
    }
    Command move = changing(window.socket, {"move-window", "-d", "-s", id, "-t", destination});
    move.chain();
    move.append({"display-message", "-p", "-t", id, window_record_format()});
    return read_window_record(checked_bytes(move, {kFailure}), window.socket);
}

PaneRecord active_pane(const WindowRecord& window) {
    constexpr std::string_view kFailure = "tmux display-message failed: ";
    return pane_at(window.socket, exact_window_target(window, kFailure), kFailure);
}

SessionRecord window_session(const WindowRecord& window) {
    constexpr std::string_view kFailure = "tmux display-message failed: ";
    // The target resolves in the record's own session: this answers whether it is still there.
    WindowRecord found = window_at(window.socket, exact_window_target(window, kFailure), kFailure);
    return SessionRecord{found.session_name, window.socket};
}

std::string display_window(const WindowRecord& window, const std::string& format) {
    constexpr std::string_view kFailure = "tmux display-message failed: ";
    return text::decode_lossy(display_strictly(window.socket, exact_window_target(window, kFailure), format, kFailure));
}

}  // namespace vordalin::core
