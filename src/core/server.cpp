#include "core/server.hpp"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "channel/channel.hpp"
#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/spawn.hpp"
#include "runner/fd.hpp"
#include "runner/wait.hpp"
#include "text/text.hpp"
#include "tmux/socket.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kPaneFormat = "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}";
constexpr std::string_view kWindowFormat = "#{session_name}\t#{window_index}\t#{window_name}";

// Runs display-message on a caller's target and returns its fields: the output without its
// line end, cut at tabs into at most `pieces` pieces. Only the last field, a name or title,
// can hold a tab, and tmux keeps tabs and line ends out of session and window names and
// titles, so every field is exactly tmux's.
std::vector<std::string> lookup_fields(const ServerRecord& server, const std::string& target, std::string_view format,
                                       std::size_t pieces, std::string_view not_found) {
    std::string output =
        checked_output(strictly_resolved(server.socket, target, {"display-message", "-p", "-t", target, format}),
                       {not_found, ErrorText::kUntrimmed, Launch::kServer});
    std::vector<std::string> fields;
    for (std::string_view piece : text::split_at_most(text::without_line_end(output), '\t', pieces)) {
        fields.emplace_back(piece);
    }
    return fields;
}

std::string required_field(const std::vector<std::string>& fields, std::size_t at, std::string_view name) {
    if (fields.size() <= at || fields[at].empty()) {
        throw Error("missing " + std::string(name) + " from tmux output");
    }
    return fields[at];
}

std::uint32_t index_field(const std::vector<std::string>& fields, std::size_t at, std::string_view name) {
    if (fields.size() <= at) {
        throw Error("missing " + std::string(name) + " from tmux output");
    }
    text::ParsedNumber number = text::parse_unsigned(fields[at], kMaxU32);
    if (!number.ok()) {
        throw Error("invalid " + std::string(name) + ": " + std::string(text::describe(*number.error)));
    }
    return static_cast<std::uint32_t>(number.value);
}

std::string last_field(const std::vector<std::string>& fields, std::size_t at) {
    return fields.size() > at ? fields[at] : std::string();
}

// The default socket of the remote user, by tmux's rule, as the host's shell works it out:
// "default" in the directory "tmux-UID" under a non-empty $TMUX_TMPDIR or else /tmp, resolved
// when it exists. Nothing when the user id cannot be read there.
std::optional<std::string> remote_default_socket(const Socket& where) {
    constexpr std::string_view kRule =
        R"(u=$(id -u) || exit 1; d="${TMUX_TMPDIR:-/tmp}/tmux-$u"; r=$(cd -P -- "$d" 2>/dev/null && pwd) && d=$r; )"
        R"(printf '%s/default\n' "$d")";
    std::optional<std::string> output = program_output(where, {"sh", "-c", std::string(kRule)});
    if (!output || text::trim(*output).empty()) {
        return std::nullopt;
    }
    return std::string(text::trim(*output));
}

// A command that may start the server, and so reads the server's configuration.
Command starting(const ServerRecord& server, std::initializer_list<std::string_view> args) {
    Command command = changing(server.socket, args);
    command.config = server.config;
    return command;
}

}  // namespace

SocketPath server_socket(std::optional<std::string> path, std::optional<std::string> host,
                         std::vector<std::string> ssh_options) {
    if (!host) {
        if (!ssh_options.empty()) {
            throw Error("ssh_options need a host", Error::Kind::kValue);
        }
        return SocketPath(std::move(path));
    }
    // ssh would read a leading "-" as an option, and no host name holds a blank or a line end.
    if (host->empty() || host->starts_with('-') ||
        host->find_first_of(std::string_view(" \t\r\n\0", 5)) != std::string::npos) {
        throw Error("not a host ssh can reach: " + text::quote(*host), Error::Kind::kValue);
    }
    auto remote = std::make_shared<const tmux::Remote>(tmux::Remote{std::move(*host), std::move(ssh_options)});
    return SocketPath(Socket(std::move(path), std::move(remote)));
}

std::optional<std::string> host_of(const SocketPath& socket) {
    if (const tmux::Remote* remote = socket.remote()) {
        return remote->host;
    }
    return std::nullopt;
}

std::vector<std::string> ssh_options_of(const SocketPath& socket) {
    if (const tmux::Remote* remote = socket.remote()) {
        return remote->options;
    }
    return {};
}

bool start_server(const ServerRecord& server) {
    return succeeds(starting(server, {"start-server"}));
}

namespace {

// Whether a server still takes connections at the path: a listening socket that is gone, or
// refuses, means none does.
bool still_listening(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    runner::Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) {
        return false;
    }
    int connected = 0;
    do {
        connected = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    return connected == 0;
}

}  // namespace

bool kill_server(const ServerRecord& server) {
    Command command = changing(server.socket, {"kill-server"});
    command.traits.ends_server = true;
    if (!succeeds(command)) {
        return false;
    }
    // tmux answers kill-server before its server has gone, and a client that connects to the
    // exiting server meanwhile fails ("server exited unexpectedly"): a new session started on
    // the same socket right after the kill would. So the kill returns once the socket takes no
    // more connections, or after a while at most. A server on another host is ssh's to reach.
    if (server.socket.remote() == nullptr) {
        constexpr auto kGoneWithin = std::chrono::seconds(2);
        constexpr auto kLookEvery = std::chrono::milliseconds(2);
        std::string path = tmux::local_socket(server.socket.path());
        auto deadline = runner::Clock::now() + kGoneWithin;
        while (still_listening(path) && runner::Clock::now() < deadline) {
            runner::wait_readable({}, std::min(deadline, runner::Clock::now() + kLookEvery));
        }
    }
    return true;
}

bool server_is_running(const ServerRecord& server) {
    return succeeds(reading(server.socket, {"list-sessions"}));
}

bool has_session(const ServerRecord& server, const std::string& name) {
    return is_session_name(name) && succeeds(reading(server.socket, {"has-session", "-t", session_target(name)}));
}

SessionRecord new_session(const ServerRecord& server, const std::string& name,
                          const std::optional<std::string>& command, const std::optional<std::string>& start_directory,
                          const std::optional<Environment>& environment, std::optional<std::uint32_t> width,
                          std::optional<std::uint32_t> height) {
    constexpr FailureWording kFailure{"new session failed: ", ErrorText::kUntrimmed, Launch::kServer};
    // tmux would make the session, but "=$..." names a session by its id.
    if (name.starts_with('$')) {
        refuse("a session name cannot start with \"$\"", kFailure);
    }
    // tmux expands formats in the name, and rewrites what a name cannot hold (":" and "."
    // become "_"); the record takes the name tmux reports, so that it names this session.
    Command create = starting(server, {"new-session", "-d", "-P", "-F", "#{session_name}", "-s", literal_format(name)});
    if (width) {
        create.append({"-x", std::to_string(*width)});
    }
    if (height) {
        create.append({"-y", std::to_string(*height)});
    }
    add_start_options(create, start_directory, environment);
    // A new session takes the variables that update-environment names from its client's
    // environment: only a process of ours brings the caller's.
    create.traits.client_environment = true;
    if (command) {
        create.append({"--", *command});
    }
    runner::Result result = run_tmux(create, runner::Output::kCapture, runner::Output::kCapture);
    if (!result.ok()) {
        raise_failure(create, result, kFailure);
    }
    std::string made(text::without_line_end(text::decode_lossy(result.out.view())));
    if (made.empty()) {
        // tmux exits 0 when it cannot create its socket, and makes nothing.
        if (result.err.empty()) {
            raise_failure(create, result, "tmux made no session", kFailure);
        }
        raise_failure(create, result, kFailure);
    }
    return SessionRecord{std::move(made), server.socket};
}

bool connect_channel(const ServerRecord& server) {
    return channel::connect(server.socket);
}

std::monostate disconnect_channel(const ServerRecord& server) {
    channel::disconnect(server.socket);
    return {};
}

bool channel_connected(const ServerRecord& server) {
    return channel::connected(server.socket);
}

CommandResult raw_command(const ServerRecord& server, const Argv& args, bool check) {
    constexpr FailureWording kFailure{"tmux command failed: "};
    Command command{server.socket, args, {}, server.config, true, {}};
    runner::Result result = run_tmux(command, runner::Output::kCapture, runner::Output::kCapture);
    if (result.start_failure) {
        raise_failure(command, result, kFailure);
    }
    if (!result.returncode) {
        raise_failure(command, result, "tmux's exit status was lost", kFailure);
    }
    if (check && result.returncode != 0) {
        raise_failure(command, result, kFailure);
    }
    return CommandResult{*result.returncode, text::decode_lossy(result.out.view()),
                         text::decode_lossy(std::move(result.err))};
}

std::vector<SessionRecord> list_sessions(const ServerRecord& server) {
    std::vector<SessionRecord> sessions;
    std::optional<std::string> output =
        quiet_output(reading(server.socket, {"list-sessions", "-F", "#{session_name}"}));
    if (!output) {
        return sessions;
    }
    // tmux keeps line ends out of session names, so each line is one name, exactly.
    for (std::string_view name : text::split_lines(*output)) {
        if (!name.empty()) {
            sessions.push_back(SessionRecord{std::string(name), server.socket});
        }
    }
    return sessions;
}

std::optional<std::string> current_socket(const ServerRecord& server) {
    if (const std::optional<std::string>& given = server.socket.path()) {
        return given;
    }
    const Socket& where = server.socket;
    if (auto reported = quiet_output(reading(where, {"display-message", "-p", "#{socket_path}"}))) {
        std::string_view path = text::trim(*reported);
        if (!path.empty()) {
            return std::string(path);
        }
    }
    if (where.remote) {
        return remote_default_socket(where);
    }
    std::optional<std::string> id_output = program_output({"id", "-u"});
    if (!id_output) {
        return std::nullopt;
    }
    text::ParsedNumber uid = text::parse_unsigned(text::trim(*id_output), kMaxU32);
    if (!uid.ok()) {
        return std::nullopt;
    }
    return text::decode_lossy(tmux::default_socket(static_cast<std::uint32_t>(uid.value)));
}

PaneRecord target_pane(const ServerRecord& server, const std::string& target) {
    std::vector<std::string> fields = lookup_fields(server, target, kPaneFormat, 5, "pane target not found: ");
    PaneRecord pane;
    pane.session_name = required_field(fields, 0, "session_name");
    pane.window_index = index_field(fields, 1, "window_index");
    pane.pane_index = index_field(fields, 2, "pane_index");
    pane.pane_id = required_field(fields, 3, "pane_id");
    pane.title = last_field(fields, 4);
    pane.socket = server.socket;
    return pane;
}

WindowRecord target_window(const ServerRecord& server, const std::string& target) {
    std::vector<std::string> fields = lookup_fields(server, target, kWindowFormat, 3, "window target not found: ");
    WindowRecord window;
    window.session_name = required_field(fields, 0, "session_name");
    window.index = index_field(fields, 1, "window_index");
    window.name = last_field(fields, 2);
    window.socket = server.socket;
    return window;
}

std::optional<SessionRecord> find_session(const ServerRecord& server, const std::string& name) {
    if (!has_session(server, name)) {
        return std::nullopt;
    }
    return SessionRecord{name, server.socket};
}

std::string display_server(const ServerRecord& server, const std::string& format) {
    // No target: tmux answers for the session its client is in, and the channel's client is
    // in one of its own choosing, so this runs as a process of its own.
    Command display{server.socket, {"display-message", "-p", "--", format}, {}, std::nullopt, false, {}};
    display.traits.reads_only = true;
    std::string output = checked_output(display, {"tmux display-message failed: "});
    if (output.ends_with('\n')) {
        output.pop_back();
    }
    return output;
}

namespace {

constexpr std::array<FormatField, 7> kClientFields{{
    {"client_pid"},
    {"client_control_mode"},
    {"client_width"},
    {"client_height"},
    {"client_name", true},
    {"client_tty", true},
    {"client_session", true},
}};

}  // namespace

std::vector<ClientInfo> list_clients(const ServerRecord& server) {
    static const std::string kFormat = record_format(kClientFields);
    std::vector<ClientInfo> clients;
    std::optional<std::string> output = quiet_bytes(reading(server.socket, {"list-clients", "-F", kFormat}));
    if (!output) {
        return clients;
    }
    // The module's own clients (the channel's, the event streams') are not the server's users.
    std::vector<channel::OwnClient> own = channel::own_clients(server.socket);
    for (const Values& fields : read_records(*output, kClientFields)) {
        bool control = fields[1] == "1";
        if (std::any_of(own.begin(), own.end(),
                        [&](const channel::OwnClient& client) { return fields[0] == std::to_string(client.pid); })) {
            continue;
        }
        ClientInfo client;
        client.control = control;
        client.name = text::decode_lossy(fields[4]);
        client.tty = text::decode_lossy(fields[5]);
        if (!fields[6].empty()) {
            client.session_name = text::decode_lossy(fields[6]);
        }
        // A control client has no size of its own.
        if (!control) {
            client.width = lenient_u32(fields[2]);
            client.height = lenient_u32(fields[3]);
        }
        clients.push_back(std::move(client));
    }
    return clients;
}

}  // namespace vordalin::core
