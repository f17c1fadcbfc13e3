#include "core/session.hpp"

#include "core/error.hpp"
#include "core/fields.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kMetadataFormat =
    "#{session_id}|#{session_name}|#{session_created}|#{session_attached}|#{session_width}|#{session_height}|"
    "#{session_windows}";
constexpr std::size_t kMetadataFields = 7;

// A size field read leniently: blanks around it are fine, anything unreadable is absent.
std::optional<std::uint32_t> lenient_size(std::string_view field) {
    text::ParsedNumber number = text::parse_unsigned(text::trim(field), kMaxU32);
    if (!number.ok()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(number.value);
}

}  // namespace

bool kill_session(const SessionRecord& session) {
    return succeeds(tmux_argv(session.socket, {"kill-session", "-t", session_target(session.name)}));
}

void rename_session(SessionRecord& session, const std::string& new_name) {
    run_checked(tmux_argv(session.socket, {"rename-session", "-t", session_target(session.name), new_name}),
                {"rename session failed: ", ErrorText::kUntrimmed});
    session.name = new_name;
}

std::vector<WindowRecord> session_windows(const SessionRecord& session) {
    std::vector<WindowRecord> windows;
    std::optional<std::string> output = quiet_output(tmux_argv(
        session.socket, {"list-windows", "-t", session_target(session.name), "-F", "#{window_index}|#{window_name}"}));
    if (!output) {
        return windows;
    }
    for (const IndexedFields& line : indexed_lines(*output, 2)) {
        windows.push_back(WindowRecord{session.name, line.index, session.socket, std::string(line.fields[1])});
    }
    return windows;
}

SessionMetadata session_metadata(const SessionRecord& session) {
    std::string output = checked_output(tmux_argv(session.socket, {"list-sessions", "-F", kMetadataFormat}),
                                        {"tmux failed: ", ErrorText::kUntrimmed});
    for (std::string_view line : text::split_lines(output)) {
        std::vector<std::string_view> fields = text::split_fields(text::trim(line), kFieldSeparator);
        if (fields.size() != kMetadataFields || fields[1] != session.name) {
            continue;
        }
        SessionMetadata metadata;
        metadata.id = fields[0];
        metadata.name = fields[1];
        metadata.created = read_number(fields[2], kMaxU64, "bad session_created");
        metadata.attached = fields[3] != "0";
        metadata.width = lenient_size(fields[4]);
        metadata.height = lenient_size(fields[5]);
        metadata.windows = static_cast<std::uint32_t>(read_number(fields[6], kMaxU32, "bad session_windows"));
        return metadata;
    }
    throw Error("session " + text::quote(session.name) + " not found");
}

}  // namespace vordalin::core
