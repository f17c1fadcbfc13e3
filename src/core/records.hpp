#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "core/tmux.hpp"

namespace vordalin::core {

// A record's socket: the path as it was given, which commands use and the record shows, and
// the path it names, which records compare: absolute (a relative one taken against the working
// directory when the record was made), every run of "/" one "/", no "." segment. A socket on a
// remote host keeps its host and ssh options; its relative path stays relative, since it
// counts from where the host's tmux runs. Records made from a record copy all of it, so a walk
// down a server compares alike wherever it goes next.
class SocketPath {
public:
    SocketPath() noexcept = default;
    // Implicit: a record is made from the socket it is given.
    SocketPath(Socket given);                    // NOLINT(google-explicit-constructor)
    SocketPath(std::optional<std::string> path)  // NOLINT(google-explicit-constructor)
        : SocketPath(Socket(std::move(path))) {}

    // Commands take the socket as given.
    operator const Socket&() const noexcept { return given_; }  // NOLINT(google-explicit-constructor)
    const Socket& given() const noexcept { return given_; }
    // The path as given; nothing for the default server.
    const std::optional<std::string>& path() const noexcept { return given_.path; }
    // The remote host and its ssh options; null on this machine.
    const tmux::Remote* remote() const noexcept { return given_.remote.get(); }
    // The normalised path; nothing for the default server.
    std::optional<std::string_view> compared() const noexcept;
    // The normalised path where it differs from the given one: a copy of the record keeps it,
    // wherever and whenever the copy is made.
    const std::optional<std::string>& resolved() const noexcept { return normal_; }
    static SocketPath restored(Socket given, std::optional<std::string> resolved);

    friend bool operator==(const SocketPath& a, const SocketPath& b) noexcept {
        return a.compared() == b.compared() && a.given_.same_place(b.given_);
    }

private:
    Socket given_;
    // Only when it differs from the given path, which it mostly does not.
    std::optional<std::string> normal_;
};

struct ServerRecord {
    SocketPath socket;
    // The configuration file of a server that a command of this record starts.
    std::optional<std::string> config;
};

struct SessionRecord {
    std::string name;
    SocketPath socket;
};

struct WindowRecord {
    std::string session_name;
    std::uint32_t index = 0;
    SocketPath socket;
    std::string name;
};

struct PaneRecord {
    std::string session_name;
    std::uint32_t window_index = 0;
    std::uint32_t pane_index = 0;
    std::string pane_id;
    std::string title;
    SocketPath socket;
};

struct SessionMetadata {
    std::string id;
    std::string name;
    std::uint64_t created = 0;
    bool attached = false;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::uint32_t windows = 0;
};

struct WindowMetadata {
    std::uint32_t index = 0;
    std::string name;
    bool active = false;
    std::string layout;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::string flags;
};

struct LastCommandRecord {
    std::string pane_id;
    SocketPath socket;
};

// Where a pane's cursor line was: its number counted from the top of the pane's history (the
// history size plus the cursor row), the history size then, and the rows right above it as
// capture() showed them, by which a wait finds the line again once tmux has dropped lines from
// the top of a full history.
struct PaneMark {
    std::string pane_id;
    std::uint64_t line = 0;
    std::uint64_t history_size = 0;
    std::string above;
    SocketPath socket;
};

// What a command typed at a pane's shell prompt printed, and its exit status.
struct RunResult {
    std::string output;
    int status = 0;
};

// A window as a snapshot lists it: its metadata, where it is and how many panes it has.
struct WindowInfo : WindowMetadata {
    std::string session_name;
    std::string id;
    std::uint32_t pane_count = 0;
    SocketPath socket;
};

// A pane as a snapshot lists it. `commandline` is read by ps only when asked for.
struct PaneInfo {
    std::string session_name;
    std::uint32_t window_index = 0;
    std::uint32_t pane_index = 0;
    std::string pane_id;
    std::string title;
    std::optional<std::uint32_t> pid;
    std::string current_command;
    std::string current_path;
    bool active = false;
    bool dead = false;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::optional<std::string> commandline;
    SocketPath socket;
};

// Everything one tmux client saw of a server at one moment.
struct Snapshot {
    std::vector<SessionMetadata> sessions;
    std::vector<WindowInfo> windows;
    std::vector<PaneInfo> panes;
};

// Where a mapping of options, hooks or environment variables lives: its scope ("server",
// "global", "global-window", "session", "window" or "pane") and, below the global scopes, the
// exact target of its object.
struct ScopeRecord {
    std::string scope;
    std::string target;
    SocketPath socket;
};
struct OptionsRecord : ScopeRecord {};
struct HooksRecord : ScopeRecord {};
struct EnvironmentRecord : ScopeRecord {};

// A client attached to the server, as list-clients reports it.
struct ClientInfo {
    std::string name;
    std::string tty;
    std::optional<std::string> session_name;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    bool control = false;
};

// What one raw tmux command gave: its exit code (minus the signal number when a signal
// ended it) and both output streams, decoded.
struct CommandResult {
    int returncode = 0;
    std::string out;
    std::string err;
};

// One field as the outside sees it: its name and the member that holds it. The member's
// type decides how the text form writes the value.
template <class Record, class Value>
struct Field {
    const char* name;
    Value Record::* member;
};

template <class Record, class Value>
constexpr Field<Record, Value> field(const char* name, Value Record::* member) {
    return {name, member};
}

// A base record's fields as fields of a record derived from it: declared once, shown by both.
template <class Derived, class Base, class Value>
constexpr Field<Derived, Value> inherited_field(const Field<Base, Value>& base) {
    return {base.name, base.member};  // a member of the base is a member of the derived record
}

template <class Derived, class Fields>
constexpr auto fields_of(const Fields& fields) {
    return std::apply([](const auto&... base) { return std::tuple{inherited_field<Derived>(base)...}; }, fields);
}

// A record's class name and its fields, in the order its text form lists them. The text
// form and the attributes of the record's Python class are both built from this table.
// Records that name a tmux object also list the members that identify it (kIdentity), and
// whether those can change (kHashable). Records that are values, immutable once made, say so
// (kValue): they compare equal when all their fields are, and hash alike.
template <class Record>
struct RecordTable;

// Server has no text form; its table lists what a copy of it needs.
template <>
struct RecordTable<ServerRecord> {
    static constexpr const char* kClass = "Server";
    static constexpr auto kFields =
        std::tuple{field("socket", &ServerRecord::socket), field("config", &ServerRecord::config)};
};

template <>
struct RecordTable<SessionRecord> {
    static constexpr const char* kClass = "Session";
    // A session is known by its name, which an assignment changes: such a record cannot be
    // a dictionary key.
    static constexpr auto kIdentity = std::tuple{&SessionRecord::name, &SessionRecord::socket};
    static constexpr bool kHashable = false;
    static constexpr auto kFields =
        std::tuple{field("name", &SessionRecord::name), field("socket", &SessionRecord::socket)};
};

template <>
struct RecordTable<WindowRecord> {
    static constexpr const char* kClass = "Window";
    static constexpr auto kIdentity =
        std::tuple{&WindowRecord::session_name, &WindowRecord::index, &WindowRecord::socket};
    static constexpr bool kHashable = true;
    static constexpr auto kFields =
        std::tuple{field("session_name", &WindowRecord::session_name), field("index", &WindowRecord::index),
                   field("name", &WindowRecord::name), field("socket", &WindowRecord::socket)};
};

template <>
struct RecordTable<PaneRecord> {
    static constexpr const char* kClass = "Pane";
    static constexpr auto kIdentity = std::tuple{&PaneRecord::pane_id, &PaneRecord::socket};
    static constexpr bool kHashable = true;
    static constexpr auto kFields = std::tuple{field("session_name", &PaneRecord::session_name),
                                               field("window_index", &PaneRecord::window_index),
                                               field("pane_index", &PaneRecord::pane_index),
                                               field("pane_id", &PaneRecord::pane_id),
                                               field("title", &PaneRecord::title),
                                               field("socket", &PaneRecord::socket)};
};

template <>
struct RecordTable<SessionMetadata> {
    static constexpr const char* kClass = "SessionMetadata";
    static constexpr bool kValue = true;
    static constexpr auto kFields =
        std::tuple{field("id", &SessionMetadata::id),           field("name", &SessionMetadata::name),
                   field("created", &SessionMetadata::created), field("attached", &SessionMetadata::attached),
                   field("width", &SessionMetadata::width),     field("height", &SessionMetadata::height),
                   field("windows", &SessionMetadata::windows)};
};

template <>
struct RecordTable<WindowMetadata> {
    static constexpr const char* kClass = "WindowMetadata";
    static constexpr bool kValue = true;
    static constexpr auto kFields =
        std::tuple{field("index", &WindowMetadata::index),   field("name", &WindowMetadata::name),
                   field("active", &WindowMetadata::active), field("layout", &WindowMetadata::layout),
                   field("width", &WindowMetadata::width),   field("height", &WindowMetadata::height),
                   field("flags", &WindowMetadata::flags)};
};

template <>
struct RecordTable<LastCommandRecord> {
    static constexpr const char* kClass = "LastCommand";
    static constexpr auto kFields =
        std::tuple{field("pane_id", &LastCommandRecord::pane_id), field("socket", &LastCommandRecord::socket)};
};

template <>
struct RecordTable<PaneMark> {
    static constexpr const char* kClass = "Mark";
    static constexpr bool kValue = true;
    static constexpr auto kFields = std::tuple{field("pane_id", &PaneMark::pane_id), field("line", &PaneMark::line),
                                               field("history_size", &PaneMark::history_size),
                                               field("above", &PaneMark::above), field("socket", &PaneMark::socket)};
};

template <>
struct RecordTable<RunResult> {
    static constexpr const char* kClass = "RunResult";
    static constexpr bool kValue = true;
    static constexpr auto kFields =
        std::tuple{field("output", &RunResult::output), field("status", &RunResult::status)};
};

template <>
struct RecordTable<WindowInfo> {
    static constexpr const char* kClass = "WindowInfo";
    static constexpr bool kValue = true;
    static constexpr auto kFields = std::tuple_cat(
        std::tuple{field("session_name", &WindowInfo::session_name), field("id", &WindowInfo::id),
                   field("pane_count", &WindowInfo::pane_count)},
        fields_of<WindowInfo>(RecordTable<WindowMetadata>::kFields), std::tuple{field("socket", &WindowInfo::socket)});
};

template <>
struct RecordTable<PaneInfo> {
    static constexpr const char* kClass = "PaneInfo";
    static constexpr bool kValue = true;
    static constexpr auto kFields = std::tuple{field("session_name", &PaneInfo::session_name),
                                               field("window_index", &PaneInfo::window_index),
                                               field("pane_index", &PaneInfo::pane_index),
                                               field("pane_id", &PaneInfo::pane_id),
                                               field("title", &PaneInfo::title),
                                               field("pid", &PaneInfo::pid),
                                               field("current_command", &PaneInfo::current_command),
                                               field("current_path", &PaneInfo::current_path),
                                               field("active", &PaneInfo::active),
                                               field("dead", &PaneInfo::dead),
                                               field("width", &PaneInfo::width),
                                               field("height", &PaneInfo::height),
                                               field("commandline", &PaneInfo::commandline),
                                               field("socket", &PaneInfo::socket)};
};

template <>
struct RecordTable<Snapshot> {
    static constexpr const char* kClass = "Snapshot";
    static constexpr bool kValue = true;
    static constexpr auto kFields = std::tuple{field("sessions", &Snapshot::sessions),
                                               field("windows", &Snapshot::windows), field("panes", &Snapshot::panes)};
};

template <>
struct RecordTable<CommandResult> {
    static constexpr const char* kClass = "CommandResult";
    static constexpr bool kValue = true;
    static constexpr auto kFields =
        std::tuple{field("returncode", &CommandResult::returncode), field("stdout", &CommandResult::out),
                   field("stderr", &CommandResult::err)};
};

template <>
struct RecordTable<ScopeRecord> {
    static constexpr auto kFields =
        std::tuple{field("scope", &ScopeRecord::scope), field("target", &ScopeRecord::target),
                   field("socket", &ScopeRecord::socket)};
};

template <>
struct RecordTable<OptionsRecord> {
    static constexpr const char* kClass = "Options";
    static constexpr auto kFields = fields_of<OptionsRecord>(RecordTable<ScopeRecord>::kFields);
};

template <>
struct RecordTable<HooksRecord> {
    static constexpr const char* kClass = "Hooks";
    static constexpr auto kFields = fields_of<HooksRecord>(RecordTable<ScopeRecord>::kFields);
};

template <>
struct RecordTable<EnvironmentRecord> {
    static constexpr const char* kClass = "Environment";
    static constexpr auto kFields = fields_of<EnvironmentRecord>(RecordTable<ScopeRecord>::kFields);
};

template <>
struct RecordTable<ClientInfo> {
    static constexpr const char* kClass = "ClientInfo";
    static constexpr auto kFields = std::tuple{field("name", &ClientInfo::name),
                                               field("tty", &ClientInfo::tty),
                                               field("session_name", &ClientInfo::session_name),
                                               field("width", &ClientInfo::width),
                                               field("height", &ClientInfo::height),
                                               field("control", &ClientInfo::control)};
};

// Records compare by what their table names: a tmux object's identity, or a value's fields.
template <class Record>
concept Identified = requires { RecordTable<Record>::kIdentity; };

template <class Record>
concept Valued = requires { requires RecordTable<Record>::kValue; };

template <class Record>
concept Compared = Identified<Record> || Valued<Record>;

// The members a record compares by, as member pointers.
template <Compared Record>
constexpr auto compared_members() {
    if constexpr (Identified<Record>) {
        return RecordTable<Record>::kIdentity;
    } else {
        return std::apply([](const auto&... field) { return std::tuple{field.member...}; },
                          RecordTable<Record>::kFields);
    }
}

template <Compared Record>
auto compared_values(const Record& record) {
    return std::apply([&](auto... member) { return std::tie(record.*member...); }, compared_members<Record>());
}

template <Compared Record>
bool operator==(const Record& a, const Record& b) {
    return compared_values(a) == compared_values(b);
}

// A hash that agrees with ==, for every type a compared record holds.
std::size_t hash_value(std::string_view text) noexcept;
std::size_t hash_value(const SocketPath& socket) noexcept;

template <std::integral Number>
std::size_t hash_value(Number value) noexcept {
    return std::hash<Number>{}(value);
}

template <class Value>
std::size_t hash_value(const std::optional<Value>& value) noexcept;
template <class Value>
std::size_t hash_value(const std::vector<Value>& values) noexcept;
template <Compared Record>
std::size_t hash_value(const Record& record) noexcept;

inline std::size_t hash_combined(std::size_t seed, std::size_t more) noexcept {
    return seed * 1000003 ^ more;
}

template <class Value>
std::size_t hash_value(const std::optional<Value>& value) noexcept {
    return value ? hash_combined(1, hash_value(*value)) : 0;
}

template <class Value>
std::size_t hash_value(const std::vector<Value>& values) noexcept {
    std::size_t combined = values.size();
    for (const Value& value : values) {
        combined = hash_combined(combined, hash_value(value));
    }
    return combined;
}

template <Compared Record>
std::size_t hash_value(const Record& record) noexcept {
    std::size_t combined = 0;
    std::apply([&](const auto&... value) { ((combined = hash_combined(combined, hash_value(value))), ...); },
               compared_values(record));
    return combined;
}

// How the text form writes a value: texts quoted, integers in decimal, "true" or "false",
// and optional values as "None" or "Some(value)".
void write_value(std::string& out, std::string_view text);
void write_value(std::string& out, bool value);
void write_value(std::string& out, const SocketPath& socket);

template <std::integral Number>
    requires(!std::same_as<Number, bool>)
void write_value(std::string& out, Number value) {
    out += std::to_string(value);
}

template <class Value>
void write_value(std::string& out, const std::optional<Value>& value) {
    if (!value) {
        out += "None";
        return;
    }
    out += "Some(";
    write_value(out, *value);
    out += ')';
}

template <class Record>
std::string text_form(const Record& record);

// A list of records: their text forms in square brackets.
template <class Record>
void write_value(std::string& out, const std::vector<Record>& records) {
    out += '[';
    for (std::size_t i = 0; i < records.size(); ++i) {
        out += i == 0 ? "" : ", ";
        out += text_form(records[i]);
    }
    out += ']';
}

// One item of a text form: the field's name, "=" and its value.
template <class Value>
void write_field(std::string& out, const char* name, const Value& value) {
    out += name;
    out += '=';
    write_value(out, value);
}

// A socket on a remote host is followed by the host, so that the text tells where the object
// is; a socket on this machine shows as it always has.
void write_field(std::string& out, const char* name, const SocketPath& socket);

// The text form shared by repr() and str(): Class(field=value, ...).
template <class Record>
std::string text_form(const Record& record) {
    std::string out = RecordTable<Record>::kClass;
    out += '(';
    const char* separator = "";
    std::apply(
        [&](const auto&... field) {
            ((out += separator, write_field(out, field.name, record.*field.member), separator = ", "), ...);
        },
        RecordTable<Record>::kFields);
    out += ')';
    return out;
}

}  // namespace vordalin::core
