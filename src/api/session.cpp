// The Session class: a session name and the socket of its server.
#include "core/session.hpp"
#include "api/common.hpp"
#include "core/events.hpp"
#include "core/options.hpp"

namespace vordalin::api {

namespace {

using Record = core::SessionRecord;
constexpr const char* kClass = core::RecordTable<Record>::kClass;

constexpr auto kNew = py::signature(kClass, "__new__", py::text("name"), py::optional_text("socket"));
constexpr auto kNewWindow = py::signature(kClass, "new_window", py::optional_text("name"), py::optional_text("command"),
                                          py::keyword_only(py::optional_text("start_directory")),
                                          py::keyword_only(py::optional_text_mapping("environment")),
                                          py::keyword_only(py::flag("select", false)));

constexpr auto kDisplay = py::signature(kClass, "display", py::text("format"));
constexpr auto kEvents = py::signature(kClass, "events", py::keyword_only(py::flag("output", false)));

core::OptionsRecord session_options(const Record& session) {
    return {core::session_scope(session)};
}
core::HooksRecord session_hooks(const Record& session) {
    return {core::session_scope(session)};
}
core::EnvironmentRecord session_environment(const Record& session) {
    return {core::session_scope(session)};
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_session>(
            "kill", "kill this session\n\nReturns:\n    True if the operation is successful"),
        no_argument_method<Record, core::session_metadata>(
            "metadata", "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
        method<Record, kNewWindow, core::new_window>(
            "Create a window in this session and return it.\n\nArgs:\n"
            "    name: The window's name; tmux names it after its program when None.\n"
            "    command: A shell command to run instead of the default shell.\n"
            "    start_directory: The directory the program starts in; it must exist.\n"
            "    environment: Variables to set for the program, as a mapping of str to str.\n"
            "    select: Make the new window the session's current one.\n\n"
            "Returns:\n    Window, as tmux made it.\n\n"
            "Raises: RuntimeError when tmux fails, ValueError for a bad environment name, OSError for a\n"
            "missing start directory."),
        method<Record, kDisplay, core::display_session>(
            "Evaluate a tmux format for this session (its current window and pane) and return the text.\n\n"
            "The format is tmux's syntax by design. Raises RuntimeError when the session is gone: the\n"
            "answer is never another session's."),
        method<Record, kEvents, core::session_events>(
            "Start a stream of the server's events, as Server.events(), from a control client attached\n"
            "to this session; with `output`, also everything the programs in this session's panes\n"
            "write, as events of kind \"output\" (new panes included).\n\n"
            "Output comes in order, decoded as UTF-8 (a character split between two writes is joined;\n"
            "bytes that are no UTF-8 become U+FFFD). When the reader falls behind by a second or\n"
            "more, tmux pauses that pane's output to the stream rather than let memory grow: an\n"
            "Event of kind \"pause\" says so, output written meanwhile is not sent, and taking that\n"
            "event resumes the pane (an Event of kind \"continue\" follows).\n\n"
            "Attaching makes this session the one tmux picks for commands without a target; when it\n"
            "was not that one, the one that was is made so again at once.\n\n"
            "Returns:\n    Events\n\nRaises: NotFoundError when the session is gone."),
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyGetSetDef> getsets = attributes<Record>(
        renamed_by<&Record::name, core::rename_session>("new_name"),
        {acting<Record, core::session_windows>("windows",
                                               "get a list of all windows in a session\n\nReturns:\n    Window"),
         acting<Record, core::active_window>(
             "active_window", "The session's current window; raises RuntimeError when the session is gone."),
         acting<Record, session_options>("options", "The session's own options, as Options."),
         acting<Record, session_environment>("environment", "The session's environment, as Environment."),
         acting<Record, session_hooks>("hooks", "The session's own hooks, as Hooks.")});
    static const py::TypeSpec spec = record_spec<Record, kNew>(methods, getsets.data());
    return spec;
}

}  // namespace vordalin::api
