// The Server class: one tmux server, named by its socket.
#include "api/common.hpp"
#include "core/server.hpp"

namespace vordalin::api {

namespace {

using Record = core::ServerRecord;

constexpr py::Signature<1> kNew{"Server", "__new__", {{{"socket", "None"}}}};
constexpr py::Signature<1> kNewSession{"Server", "new_session", {{{"name"}}}};
constexpr py::Signature<1> kHasSession{"Server", "has_session", {{{"name"}}}};
constexpr py::Signature<1> kTargetPane{"Server", "target_pane", {{{"target"}}}};
constexpr py::Signature<1> kTargetWindow{"Server", "target_window", {{{"target"}}}};

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry([&] {
        auto bound = py::bind(kNew, args, kwargs);
        return py::make_instance(type, Record{py::to_optional_str(bound[0], "socket")}).release();
    });
}

// A method taking one required string, passed on to the operation with the record.
template <const py::Signature<1>& Sig, auto Operation>
PyObject* with_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, Sig, args, nargs, kwnames, [](const py::Bound<1>& bound) {
        std::string text = py::to_str(bound[0], Sig.params[0].name);
        return [text = std::move(text)](const Record& server) { return Operation(server, text); };
    });
}

const py::TypeSpec& server_spec() {
    static PyMethodDef methods[] = {
        {"new_session", as_method(with_text<kNewSession, core::new_session>), kWithArguments,
         method_doc(kNewSession, "create a new session\n\nReturns:\n    Session")},
        no_argument_method<Record, core::kill_server>("kill", method_doc("kill", "kill a tmux server")),
        {"has_session", as_method(with_text<kHasSession, core::has_session>), kWithArguments,
         method_doc(kHasSession,
                    "check if the server contains a session using a session name\n\nReturns:\n"
                    "    True if the session name provided exists, False if not")},
        no_argument_method<Record, core::start_server>("start",
                                                       method_doc("start", "start a tmux server if none is running\n")),
        {"target_pane", as_method(with_text<kTargetPane, core::target_pane>), kWithArguments,
         method_doc(kTargetPane,
                    "get a Pane object directly from a pane target like \"mysess:0.1\"\n\nReturns:\n    Pane")},
        {"target_window", as_method(with_text<kTargetWindow, core::target_window>), kWithArguments,
         method_doc(kTargetWindow,
                    "get a Window object directly from a window target like \"mysess:0\"\n\nReturns:\n    Window")},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        acting<Record, core::list_sessions>(
            "sessions", "list sessions in this server\n\nReturns:\n    A list of Session in this server"),
        acting<Record, core::server_is_running>(
            "is_running", "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
        acting<Record, core::current_socket>(
            "current_socket",
            "get the tmux socket path for this server\nif a socket was explicitly provided, that is returned.\n"
            "otherwise, the default tmux socket path is returned.\n\nReturns:\n    str"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.Server", sizeof(py::Instance<Record>), class_doc(kNew),
        true, server_new, py::dealloc<Record>, nullptr, methods, getsets,
    };
    return spec;
}

py::LazyType g_server_type(server_spec);

}  // namespace

PyTypeObject* server_type() { return g_server_type.get(); }

}  // namespace vordalin::api
