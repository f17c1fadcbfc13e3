// The Server class: one tmux server, named by its socket.
#include "core/server.hpp"
#include "api/common.hpp"
#include "core/environment.hpp"
#include "core/events.hpp"
#include "core/options.hpp"
#include "core/snapshot.hpp"

namespace vordalin::api {

namespace {

using py::Ref;
using Record = core::ServerRecord;
constexpr const char* kClass = "Server";

constexpr auto kNew =
    py::signature(kClass, "__new__", py::optional_text("socket"), py::keyword_only(py::optional_text("config")),
                  py::keyword_only(py::optional_text("host")), py::keyword_only(py::text_sequence("ssh_options")));
constexpr auto kNewSession = py::signature(
    kClass, "new_session", py::text("name"), py::optional_text("command"),
    py::keyword_only(py::optional_text("start_directory")), py::keyword_only(py::optional_text_mapping("environment")),
    py::keyword_only(py::optional_positive("width")), py::keyword_only(py::optional_positive("height")));
constexpr auto kHasSession = py::signature(kClass, "has_session", py::text("name"));
constexpr auto kTargetPane = py::signature(kClass, "target_pane", py::text("target"));
constexpr auto kTargetWindow = py::signature(kClass, "target_window", py::text("target"));

constexpr auto kSession = py::signature(kClass, "session", py::text("name"));
constexpr auto kDisplay = py::signature(kClass, "display", py::text("format"));

core::OptionsRecord server_options(const Record& server) {
    return {core::global_scope(server, "server")};
}
core::OptionsRecord global_options(const Record& server) {
    return {core::global_scope(server, "global")};
}
core::OptionsRecord global_window_options(const Record& server) {
    return {core::global_scope(server, "global-window")};
}
core::HooksRecord global_hooks(const Record& server) {
    return {core::global_scope(server, "global")};
}
core::EnvironmentRecord global_environment(const Record& server) {
    return {core::global_scope(server, "global")};
}

// The constructor: with a host, every member runs tmux there, through ssh.
PyObject* new_server(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        auto [socket, config, host, ssh_options] = py::bind(kNew, args, kwargs);
        Record record{core::server_socket(std::move(socket), std::move(host), std::move(ssh_options)),
                      std::move(config)};
        return py::make_instance(type, std::move(record)).release();
    });
}

std::optional<std::string> server_host(const Record& server) {
    return core::host_of(server.socket);
}

std::vector<std::string> server_ssh_options(const Record& server) {
    return core::ssh_options_of(server.socket);
}

PyObject* enter(PyObject* self, PyObject*) {
    return py::Ref::new_ref(self).release();
}

// The server is killed on the way out of a with block, whatever ended it; an exception
// from the block goes on.
PyObject* exit_block(PyObject* self, PyObject*) {
    return py::entry([&] {
        core::kill_server(copy_of<Record>(self));
        return py::Ref::new_ref(Py_False).release();
    });
}

constexpr auto kSnapshot = py::signature(kClass, "snapshot", py::keyword_only(py::flag("commandlines", false)));
constexpr auto kCheck = py::keyword_only(py::flag("check", false));
constexpr const char* kCmdName = "cmd";

// cmd(*args, check=False): every positional argument is one tmux argument; only `check` is a
// keyword.
PyObject* cmd(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        std::string function = std::string(kClass) + "." + kCmdName + "()";
        if (nargs == 0) {
            PyErr_SetString(PyExc_TypeError, (function + " needs at least one argument: the tmux command").c_str());
            throw py::ErrorAlreadySet{};
        }
        core::Argv command;
        for (Py_ssize_t i = 0; i < nargs; ++i) {
            command.push_back(py::to_str(args[i], "args"));
        }
        PyObject* check = nullptr;
        Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < keywords; ++i) {
            PyObject* keyword = PyTuple_GetItem(kwnames, i);
            if (PyUnicode_CompareWithASCIIString(keyword, kCheck.info.name) != 0) {
                Ref shown = Ref::steal(PyObject_Str(keyword));
                Ref message = Ref::steal(
                    PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'", function.c_str(), shown.get()));
                PyErr_SetObject(PyExc_TypeError, message.get());
                throw py::ErrorAlreadySet{};
            }
            check = args[nargs + i];
        }
        bool checked = kCheck.kind.convert(check, kCheck.info.name);
        return to_python(core::raw_command(copy_of<Record>(self), command, checked)).release();
    });
}

}  // namespace

// Server has no text form and shows no fields; its socket is reached through current_socket.
const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        method<Record, kNewSession, core::new_session>("create a new session\n\nReturns:\n    Session"),
        no_argument_method<Record, core::kill_server>("kill", "kill a tmux server"),
        method<Record, kHasSession, core::has_session>(
            "check if the server contains a session using a session name\n\nReturns:\n"
            "    True if the session name provided exists, False if not"),
        no_argument_method<Record, core::start_server>("start", "start a tmux server if none is running\n"),
        method<Record, kTargetPane, core::target_pane>(
            "get a Pane object directly from a pane target like \"mysess:0.1\"\n\nReturns:\n    Pane"),
        method<Record, kTargetWindow, core::target_window>(
            "get a Window object directly from a window target like \"mysess:0\"\n\nReturns:\n    Window"),
        method<Record, kSnapshot, core::take_snapshot>(
            "Every session, window and pane of the server, from one tmux process.\n\n"
            "One tmux client lists them all, so the snapshot never mixes two moments. Names,\n"
            "titles, commands and paths are exactly tmux's.\n\n"
            "Args:\n"
            "    commandlines: Also read each pane's command line, with one ps run for all.\n\n"
            "Returns:\n"
            "    Snapshot: sessions (SessionMetadata), windows (WindowInfo) and panes (PaneInfo);\n"
            "    empty when no server runs."),
        no_argument_method<Record, core::connect_channel>(
            "connect",
            "Open a persistent channel to this server, or keep the open one.\n\n"
            "Every call on this server's socket then goes over one tmux client in control mode\n"
            "instead of starting a tmux process, with the same results and errors. The channel's\n"
            "client attaches to a session, so other tools can see it (list-clients, hooks).\n\n"
            "Returns:\n"
            "    True when the channel is open; False when the server runs no session for it to\n"
            "    attach to (calls then keep running one process each)."),
        no_argument_method<Record, core::server_events>(
            "events",
            "Start a stream of the server's events: windows added, closed and renamed (in every\n"
            "session), sessions renamed, added and removed, layouts changed, the server's exit.\n\n"
            "The stream is a tmux control client of its own, attached to the session a tmux command\n"
            "without a target would act on, so relative targets keep resolving as before; it is not\n"
            "counted in SessionMetadata.attached nor listed in Server.clients. It receives no pane\n"
            "output (Session.events(output=True) does).\n\n"
            "Returns:\n    Events, to iterate over (or `async for`) and close.\n\n"
            "Raises: RuntimeError when no session runs on the server."),
        no_argument_method<Record, core::disconnect_channel>(
            "disconnect", "Close this server's channel, if one is open, and wait for its client to exit."),
        method<Record, kSession, core::find_session>("The session of exactly this name, or None when there is none.\n\n"
                                                     "Returns:\n    Session | None"),
        method<Record, kDisplay, core::display_server>(
            "Evaluate a tmux format on the server and return the text.\n\n"
            "The format is tmux's syntax by design (\"#{pid}\", \"#{version}\"). It runs as a tmux\n"
            "process of its own with no target, so server-wide variables are what it is for;\n"
            "Session.display, Window.display and Pane.display answer for one object.\n\n"
            "Raises: RuntimeError when tmux fails (no server runs)."),
        {"__enter__", enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn the server itself."},
        {"__exit__", exit_block, METH_VARARGS,
         "__exit__($self, exc_type, exc, traceback, /)\n--\n\n"
         "Kill the server (through its own socket) and let any exception go on."},
        {kCmdName, as_method(cmd), METH_FASTCALL | METH_KEYWORDS,
         "cmd($self, *args, check=False)\n--\n\n"
         "Run any tmux command on this server, as tmux's own command line takes it.\n\n"
         "Each argument is one word of the command line: flags are flags, and an argument \";\"\n"
         "starts a further command. Nothing is quoted or escaped and no shell is involved; the\n"
         "server's socket (and configuration file) come first. It always runs one tmux process.\n\n"
         "Args:\n"
         "    args: The tmux command and its arguments, e.g. \"set-option\", \"-g\", \"status\", \"off\".\n"
         "    check: Raise RuntimeError with tmux's error text when the command fails.\n\n"
         "Returns:\n"
         "    CommandResult: returncode (minus the signal number when a signal ended tmux),\n"
         "    stdout and stderr, decoded as UTF-8 and not trimmed."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        acting<Record, core::list_sessions>(
            "sessions", "list sessions in this server\n\nReturns:\n    A list of Session in this server"),
        acting<Record, core::channel_connected>("connected", "Whether a channel to this server is open."),
        acting<Record, server_options>("options", "The server's options (show-options -s), as Options."),
        acting<Record, global_options>("global_options", "The global session options (show-options -g), as Options."),
        acting<Record, global_window_options>("global_window_options",
                                              "The global window and pane options (show-options -gw), as Options."),
        acting<Record, global_environment>("environment", "The global environment (-g), as Environment."),
        acting<Record, global_hooks>("hooks", "The global hooks of sessions, windows and panes, as Hooks."),
        acting<Record, core::list_clients>(
            "clients",
            "The clients attached to the server, as ClientInfo, or an empty list on any failure.\n\n"
            "The module's own clients (its channel's) are not listed."),
        acting<Record, core::server_is_running>(
            "is_running", "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
        acting<Record, server_host>("host", "The host this server is on, as ssh takes it, or None for this machine."),
        acting<Record, server_ssh_options>("ssh_options", "The options given to ssh before the host, as a list."),
        acting<Record, core::current_socket>(
            "current_socket",
            "get the tmux socket path for this server\nif a socket was explicitly provided, that is returned.\n"
            "otherwise, the default tmux socket path is returned.\n\nReturns:\n    str"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.Server", sizeof(py::Instance<Record>), class_doc(kNew), true, new_server, py::dealloc<Record>,
        nullptr,           with_reduce<Record>(methods), getsets};
    return spec;
}

PyTypeObject* server_type() {
    return class_type<Record>();
}

}  // namespace vordalin::api
