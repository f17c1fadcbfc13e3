#include "core/snapshot.hpp"

#include <algorithm>
#include <array>
#include <map>

#include "channel/channel.hpp"
#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/session.hpp"
#include "core/window.hpp"
#include "runner/together.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

template <std::size_t A, std::size_t B>
constexpr std::array<FormatField, A + B> joined(const std::array<FormatField, A>& a,
                                                const std::array<FormatField, B>& b) {
    std::array<FormatField, A + B> all{};
    std::copy(a.begin(), a.end(), all.begin());
    std::copy(b.begin(), b.end(), all.begin() + A);
    return all;
}

// Where a window is, then its metadata as Window.metadata reads it.
constexpr std::array<FormatField, 3> kWindowPlace{{{"session_name", true}, {"window_id"}, {"window_panes"}}};
constexpr auto kWindowFields = joined(kWindowPlace, kWindowMetadataFields);
constexpr std::array<FormatField, 12> kPaneFields{{
    {"session_name", true},
    {"window_index"},
    {"pane_index"},
    {"pane_id"},
    {"pane_title", true},
    {"pane_pid"},
    {"pane_current_command", true},
    {"pane_current_path", true},
    {"pane_active"},
    {"pane_dead"},
    {"pane_width"},
    {"pane_height"},
}};
constexpr char kSession = 'S';
constexpr char kWindow = 'W';
constexpr char kPane = 'P';
constexpr std::array<RecordKind, 3> kKinds{{
    {kSession, kSessionMetadataFields},
    {kWindow, kWindowFields},
    {kPane, kPaneFields},
}};

// The three listings, chained in one client: whatever that client sees is one moment.
Command snapshot_command(const ServerRecord& server) {
    static const std::string kSessionFormat = tagged_format(kSession, kSessionMetadataFields);
    static const std::string kWindowFormat = tagged_format(kWindow, kWindowFields);
    static const std::string kPaneFormat = tagged_format(kPane, kPaneFields);
    Command command = reading(server.socket, {"list-sessions", "-F", kSessionFormat});
    command.chain();
    command.append({"list-windows", "-a", "-F", kWindowFormat});
    command.chain();
    command.append({"list-panes", "-a", "-F", kPaneFormat});
    return command;
}

WindowInfo read_window(const Values& fields, const SocketPath& socket) {
    WindowInfo window;
    static_cast<WindowMetadata&>(window) = read_window_metadata(std::span(fields).subspan(kWindowPlace.size()));
    window.session_name = text::decode_lossy(fields[0]);
    window.id = text::decode_lossy(fields[1]);
    window.pane_count = static_cast<std::uint32_t>(read_number(fields[2], kMaxU32, "bad window_panes"));
    window.socket = socket;
    return window;
}

// A pane's record, or nothing when its indexes do not read (as the pane listing skips it).
std::optional<PaneInfo> read_pane(const Values& fields, const SocketPath& socket) {
    text::ParsedNumber window_index = text::parse_unsigned(fields[1], kMaxU32);
    text::ParsedNumber pane_index = text::parse_unsigned(fields[2], kMaxU32);
    if (!window_index.ok() || !pane_index.ok()) {
        return std::nullopt;
    }
    PaneInfo pane;
    pane.session_name = text::decode_lossy(fields[0]);
    pane.window_index = static_cast<std::uint32_t>(window_index.value);
    pane.pane_index = static_cast<std::uint32_t>(pane_index.value);
    pane.pane_id = text::decode_lossy(fields[3]);
    pane.title = text::decode_lossy(fields[4]);
    pane.pid = lenient_u32(fields[5]);
    pane.current_command = text::decode_lossy(fields[6]);
    pane.current_path = text::decode_lossy(fields[7]);
    pane.active = fields[8] == "1";
    pane.dead = fields[9] == "1";
    pane.width = lenient_u32(fields[10]);
    pane.height = lenient_u32(fields[11]);
    pane.socket = socket;
    return pane;
}

// The ps run that lists the command lines of the panes' pids; nothing when no pane has a pid.
std::optional<Argv> commandline_argv(const std::vector<PaneInfo>& panes) {
    std::string pids;
    for (const PaneInfo& pane : panes) {
        if (pane.pid) {
            pids += (pids.empty() ? "" : ",") + std::to_string(*pane.pid);
        }
    }
    if (pids.empty()) {
        return std::nullopt;
    }
    return Argv{"ps", "-p", pids, "-o", "pid=,args="};
}

// Each pane's command line from what ps listed; a pid that ps no longer found has none.
void read_commandlines(std::vector<PaneInfo>& panes, std::string_view listed) {
    std::map<std::uint32_t, std::string> commandlines;
    for (std::string_view line : text::split_lines(listed)) {
        line = text::trim(line);
        std::size_t blank = line.find(' ');
        text::ParsedNumber pid = text::parse_unsigned(line.substr(0, blank), kMaxU32);
        std::string_view args = blank == std::string_view::npos ? std::string_view() : text::trim(line.substr(blank));
        if (pid.ok() && !args.empty()) {
            commandlines.emplace(static_cast<std::uint32_t>(pid.value), args);
        }
    }
    for (PaneInfo& pane : panes) {
        auto found = pane.pid ? commandlines.find(*pane.pid) : commandlines.end();
        if (found != commandlines.end()) {
            pane.commandline = found->second;
        }
    }
}

Snapshot read_snapshot(const ServerRecord& server, std::string& output) {
    Snapshot snapshot;
    std::vector<channel::OwnClient> own = channel::own_clients(server.socket);
    for (const Tagged& record : read_tagged_records(output, kKinds)) {
        if (record.tag == kSession) {
            snapshot.sessions.push_back(read_session_metadata(record.values, own));
        } else if (record.tag == kWindow) {
            snapshot.windows.push_back(read_window(record.values, server.socket));
        } else if (auto pane = read_pane(record.values, server.socket)) {
            snapshot.panes.push_back(std::move(*pane));
        }
    }
    return snapshot;
}

// The decoded stdout of a run that succeeded, or nothing; ssh's own failure raises.
std::optional<std::string> quiet_answer(const Socket& where, std::optional<runner::Result>& run) {
    runner::Result result = answered_where(where, std::move(*run));
    if (!result.ok()) {
        return std::nullopt;
    }
    return std::string(result.out.view());
}

}  // namespace

Snapshot take_snapshot(const ServerRecord& server, bool commandlines) {
    std::optional<std::string> output = quiet_bytes(snapshot_command(server));
    if (!output) {
        return Snapshot{};
    }
    Snapshot snapshot = read_snapshot(server, *output);
    if (commandlines) {
        if (std::optional<Argv> ps = commandline_argv(snapshot.panes)) {
            if (std::optional<std::string> listed = program_output(server.socket, *ps)) {
                read_commandlines(snapshot.panes, *listed);
            }
        }
    }
    return snapshot;
}

std::vector<SnapshotSlot> take_snapshots(const std::vector<ServerRecord>& servers, bool commandlines,
                                         runner::Clock::time_point deadline) {
    std::vector<SnapshotSlot> slots(servers.size());
    std::vector<Argv> listings;
    for (const ServerRecord& server : servers) {
        listings.push_back(process_argv(snapshot_command(server)));
    }
    std::vector<std::optional<runner::Result>> listed = runner::run_together(listings, deadline);
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (!listed[i]) {
            continue;  // out of time
        }
        try {
            std::optional<std::string> output = quiet_answer(servers[i].socket, listed[i]);
            slots[i].snapshot = output ? read_snapshot(servers[i], *output) : Snapshot{};
        } catch (const Error& error) {
            slots[i].error = error;
        }
    }
    if (!commandlines) {
        return slots;
    }
    // The command lines of every server's panes, again side by side.
    std::vector<std::size_t> asked;
    std::vector<Argv> ps_runs;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (slots[i].snapshot) {
            if (std::optional<Argv> ps = commandline_argv(slots[i].snapshot->panes)) {
                asked.push_back(i);
                ps_runs.push_back(tmux::where_the_server_is(servers[i].socket, std::move(*ps)));
            }
        }
    }
    std::vector<std::optional<runner::Result>> answers = runner::run_together(ps_runs, deadline);
    for (std::size_t j = 0; j < asked.size(); ++j) {
        SnapshotSlot& slot = slots[asked[j]];
        if (!answers[j]) {
            slot.snapshot.reset();  // out of time
            continue;
        }
        try {
            if (std::optional<std::string> listing = quiet_answer(servers[asked[j]].socket, answers[j])) {
                read_commandlines(slot.snapshot->panes, *listing);
            }
        } catch (const Error& error) {
            slot.snapshot.reset();
            slot.error = error;
        }
    }
    return slots;
}

}  // namespace vordalin::core
