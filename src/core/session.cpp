#include "core/session.hpp"

#include <algorithm>
#include <array>

#include "channel/channel.hpp"
#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/located.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::array<FormatField, 2> kWindowFields{{{"window_index"}, {"window_name", true}}};
constexpr FailureWording kRenameFailure{"rename session failed: ", ErrorText::kUntrimmed};

// Why tmux would not take this text as a session's new name as it stands, if it would not.
std::optional<std::string> refused_name(std::string_view name) {
    if (name.find_first_of(":.") != std::string_view::npos) {
        return "a session name cannot hold \":\" or \".\"";
    }
    if (name.starts_with('$')) {
        return "a session name cannot start with \"$\"";
    }
    return refused_as_name(name, "session name");
}

}  // namespace

bool kill_session(const SessionRecord& session) {
    return is_session_name(session.name) &&
           succeeds(changing(session.socket, {"kill-session", "-t", session_target(session.name)}));
}

void rename_session(SessionRecord& session, const std::string& new_name) {
    if (auto reason = refused_name(new_name)) {
        refuse(*reason, kRenameFailure);
    }
    if (!is_session_name(session.name)) {
        raise_failure(missing_session(session.name), kRenameFailure);
    }
    // tmux expands formats in the new name.
    run_checked(changing(session.socket,
                         {"rename-session", "-t", session_target(session.name), "--", literal_format(new_name)}),
                kRenameFailure);
    session.name = new_name;
}

std::vector<WindowRecord> session_windows(const SessionRecord& session) {
    std::vector<WindowRecord> windows;
    if (!is_session_name(session.name)) {
        return windows;
    }
    static const std::string kFormat = record_format(kWindowFields);
    std::optional<std::string> output =
        quiet_bytes(reading(session.socket, {"list-windows", "-t", session_target(session.name), "-F", kFormat}));
    if (!output) {
        return windows;
    }
    for (const Indexed& record : indexed_records(*output, kWindowFields)) {
        windows.push_back(
            WindowRecord{session.name, record.index, session.socket, text::decode_lossy(record.values[1])});
    }
    return windows;
}

WindowRecord new_window(const SessionRecord& session, const std::optional<std::string>& name,
                        const std::optional<std::string>& command, const std::optional<std::string>& start_directory,
                        const std::optional<Environment>& environment, bool select) {
    constexpr FailureWording kFailure{"new window failed: "};
    if (!is_session_name(session.name)) {
        raise_failure(missing_session(session.name), kFailure);
    }
    // The made window is read back by the same client, so the record is exact; "=name:"
    // puts it at the session's next free index.
    static const std::string kFormat = record_format(kWindowFields);
    Command create =
        changing(session.socket, {"new-window", "-P", "-F", kFormat, "-t", session_target(session.name) + ":"});
    if (!select) {
        create.append({"-d"});
    }
    if (name) {
        // tmux expands formats in the name.
        create.append({"-n", literal_format(*name)});
    }
    add_start_options(create, start_directory, environment);
    if (command) {
        create.append({"--", *command});
    }
    std::string output = checked_bytes(create, kFailure);
    std::string printed = output;  // the record is read in place
    std::optional<Indexed> made = indexed_record(output, kWindowFields);
    if (!made) {
        throw Error("unexpected new-window output: " + text::quote(text::trim(text::decode_lossy(printed))));
    }
    return WindowRecord{session.name, made->index, session.socket, text::decode_lossy(made->values[1])};
}

SessionMetadata read_session_metadata(const Values& fields, const std::vector<channel::OwnClient>& own) {
    SessionMetadata metadata;
    metadata.id = text::decode_lossy(fields[0]);
    metadata.name = text::decode_lossy(fields[1]);
    metadata.created = read_number(fields[2], kMaxU64, "bad session_created");
    metadata.attached = fields[3] != "0";
    // tmux counts our own clients (the channel's, the event streams') where they are attached;
    // results do not.
    auto ours = static_cast<std::uint64_t>(std::count_if(
        own.begin(), own.end(), [&](const channel::OwnClient& client) { return client.session_id == metadata.id; }));
    if (ours > 0) {
        text::ParsedNumber clients = text::parse_unsigned(fields[3], kMaxU32);
        metadata.attached = !clients.ok() || clients.value > ours;
    }
    metadata.width = lenient_u32(fields[4]);
    metadata.height = lenient_u32(fields[5]);
    metadata.windows = static_cast<std::uint32_t>(read_number(fields[6], kMaxU32, "bad session_windows"));
    return metadata;
}

SessionMetadata session_metadata(const SessionRecord& session) {
    std::string not_found = "session " + text::quote(session.name) + " not found";
    if (!is_session_name(session.name)) {
        throw Error::not_found(not_found);
    }
    // tmux lists only this session's record: the cost does not grow with the server's size.
    static const std::string kFormat = record_format(kSessionMetadataFields);
    std::string filter = "#{==:#{session_name}," + format_literal(session.name) + "}";
    Command listing = reading(session.socket, {"list-sessions", "-F", kFormat, "-f", filter});
    std::string output = checked_bytes(listing, {"tmux failed: ", ErrorText::kUntrimmed});
    for (const Values& fields : read_records(output, kSessionMetadataFields)) {
        // Only this session's record is read: another's bad number is no concern of this call.
        if (text::decode_lossy(fields[1]) == session.name) {
            return read_session_metadata(fields, channel::own_clients(session.socket));
        }
    }
    throw Error::not_found(not_found, {listing.args, {}, 0});
}

namespace {

constexpr std::string_view kDisplayFailure = "tmux display-message failed: ";

// "=name:" names the session's current window (and through it the session).
std::string current_window_target(const SessionRecord& session) {
    if (!is_session_name(session.name)) {
        raise_failure(missing_session(session.name), {kDisplayFailure});
    }
    return session_target(session.name) + ":";
}

}  // namespace

WindowRecord active_window(const SessionRecord& session) {
    return window_at(session.socket, current_window_target(session), kDisplayFailure);
}

std::string display_session(const SessionRecord& session, const std::string& format) {
    return text::decode_lossy(
        display_strictly(session.socket, current_window_target(session), format, kDisplayFailure));
}

}  // namespace vordalin::core
