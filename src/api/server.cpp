// The Server class: one tmux server, named by its socket.
#include "api/common.hpp"
#include "core/server.hpp"

namespace vordalin::api {

namespace {

using Record = core::ServerRecord;
constexpr const char* kClass = "Server";

constexpr auto kNew = py::signature(kClass, "__new__", py::optional_text("socket"));
constexpr auto kNewSession = py::signature(kClass, "new_session", py::text("name"));
constexpr auto kHasSession = py::signature(kClass, "has_session", py::text("name"));
constexpr auto kTargetPane = py::signature(kClass, "target_pane", py::text("target"));
constexpr auto kTargetWindow = py::signature(kClass, "target_window", py::text("target"));

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
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        acting<Record, core::list_sessions>("sessions",
                                            "list sessions in this server\n\nReturns:\n    A list of Session in this server"),
        acting<Record, core::server_is_running>("is_running",
                                                "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
        acting<Record, core::current_socket>(
            "current_socket",
            "get the tmux socket path for this server\nif a socket was explicitly provided, that is returned.\n"
            "otherwise, the default tmux socket path is returned.\n\nReturns:\n    str"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{"builtins.Server",
                                   sizeof(py::Instance<Record>),
                                   class_doc(kNew),
                                   true,
                                   construct<Record, kNew>,
                                   py::dealloc<Record>,
                                   nullptr,
                                   methods,
                                   getsets};
    return spec;
}

PyTypeObject* server_type() {
    return class_type<Record>();
}

}  // namespace vordalin::api
