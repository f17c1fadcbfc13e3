// The Pane class: a pane id with the indexes and title tmux reported, and its socket.
#include "api/common.hpp"
#include "core/pane.hpp"

namespace vordalin::api {

namespace {

using Record = core::PaneRecord;

constexpr py::Signature<6> kNew{
    "Pane", "__new__", {{{"session_name"}, {"window_index"}, {"pane_index"}, {"pane_id"}, {"title"}, {"socket"}}}};
constexpr py::Signature<3> kSplit{"Pane", "split", {{{"horizontal", "False"}, {"command", "None"}, {"keep", "True"}}}};
constexpr py::Signature<2> kResize{"Pane", "resize", {{{"direction"}, {"amount"}}}};
constexpr py::Signature<2> kRespawn{"Pane", "respawn", {{{"command", "None"}, {"kill", "False"}}}};
constexpr py::Signature<3> kSendKeys{
    "Pane", "send_keys", {{{"keys"}, {"enter", "False"}, {"clear_first", "False"}}}};
constexpr py::Signature<3> kCapture{
    "Pane", "capture", {{{"trim", "False"}, {"scroll_back", "None"}, {"full", "False"}}}};
constexpr py::Signature<1> kBashShell{"Pane", "bash_shell", {{{"respawn", "False"}}}};

PyObject* pane_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry([&] {
        auto bound = py::bind(kNew, args, kwargs);
        Record record;
        record.session_name = py::to_str(bound[0], "session_name");
        record.window_index = py::to_u32(bound[1], "window_index");
        record.pane_index = py::to_u32(bound[2], "pane_index");
        record.pane_id = py::to_str(bound[3], "pane_id");
        record.title = py::to_str(bound[4], "title");
        record.socket = py::to_optional_str(bound[5], "socket");
        return py::make_instance(type, std::move(record)).release();
    });
}

bool flag_or(PyObject* value, const char* param, bool fallback) {
    return value == nullptr ? fallback : py::to_bool(value, param);
}

PyObject* split(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kSplit, args, nargs, kwnames, [](const py::Bound<3>& bound) {
        bool horizontal = flag_or(bound[0], "horizontal", false);
        std::optional<std::string> command = py::to_optional_str(bound[1], "command");
        bool keep = flag_or(bound[2], "keep", true);
        return [=](const Record& pane) { return core::split_pane(pane, horizontal, command, keep); };
    });
}

PyObject* resize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kResize, args, nargs, kwnames, [](const py::Bound<2>& bound) {
        std::string direction = py::to_str(bound[0], "direction");
        std::uint32_t amount = py::to_u32(bound[1], "amount");
        return [=](const Record& pane) { core::resize_pane(pane, direction, amount); };
    });
}

PyObject* respawn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kRespawn, args, nargs, kwnames, [](const py::Bound<2>& bound) {
        std::optional<std::string> command = py::to_optional_str(bound[0], "command");
        bool kill = flag_or(bound[1], "kill", false);
        return [=](const Record& pane) { core::respawn_pane(pane, command, kill); };
    });
}

PyObject* send_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kSendKeys, args, nargs, kwnames, [](const py::Bound<3>& bound) {
        std::string keys = py::to_str(bound[0], "keys");
        bool enter = flag_or(bound[1], "enter", false);
        bool clear_first = flag_or(bound[2], "clear_first", false);
        return [=](const Record& pane) { core::send_keys(pane, keys, enter, clear_first); };
    });
}

PyObject* capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kCapture, args, nargs, kwnames, [](const py::Bound<3>& bound) {
        bool trim = flag_or(bound[0], "trim", false);
        std::optional<std::uint32_t> scroll_back;
        if (bound[1] != nullptr && bound[1] != Py_None) {
            scroll_back = py::to_u32(bound[1], "scroll_back");
        }
        bool full = flag_or(bound[2], "full", false);
        return [=](const Record& pane) { return core::capture_pane(pane, trim, scroll_back, full); };
    });
}

PyObject* bash_shell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_method<Record>(self, kBashShell, args, nargs, kwnames, [](const py::Bound<1>& bound) {
        bool respawn = flag_or(bound[0], "respawn", false);
        return [=](const Record& pane) { core::bash_shell(pane, respawn); };
    });
}

core::LastCommandRecord last_command(const Record& pane) { return core::LastCommandRecord{pane.pane_id, pane.socket}; }

const py::TypeSpec& pane_spec() {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_pane>("kill", method_doc("kill", "Kill this pane.")),
        {"split", as_method(split), kWithArguments,
         method_doc(kSplit, "Split this pane and return the new pane.\n\nArgs:\n"
                            "    horizontal: Split horizontally if True, vertically otherwise.\n"
                            "    command: Optional command to run in the new pane.\n"
                            "    keep: keep the split running after execution is complete, defaults to true\n")},
        {"resize", as_method(resize), kWithArguments,
         method_doc(kResize, "Resize the pane.\n\nArgs:\n"
                             "    direction: One of \"left\", \"right\", \"up\", or \"down\".\n"
                             "    amount: Number of cells to resize by.\n")},
        {"respawn", as_method(respawn), kWithArguments,
         method_doc(kRespawn, "Respawn the pane.\n\nArgs:\n"
                              "    command: Optional command to run after respawning.\n"
                              "    kill: Kill the existing pane process first.")},
        {"send_keys", as_method(send_keys), kWithArguments,
         method_doc(kSendKeys, "send keys to a pane\n\nArgs:\n"
                               "    keys: the keys/commands to send to the pane\n"
                               "    enter: whether to send enter command and run the command sent\n"
                               "    clear_first: first clear the screen before running the command\n\n"
                               "Returns:\n    True if successfully sent keys\n")},
        {"capture", as_method(capture), kWithArguments,
         method_doc(kCapture, "capture a panes content\n\nArgs:\n"
                              "    trim: remove trailing whitespaces from the capture output\n"
                              "    scroll_back: scroll back this number of lines\n"
                              "    full: capture full pane output\n\n"
                              "Returns:\n"
                              "    a string of the pane content. any character visible in the pane will ne returned")},
        {"bash_shell", as_method(bash_shell), kWithArguments,
         method_doc(kBashShell, "Change this pane to bash.\n\nArgs:\n"
                                "    respawn: If True, kill the current pane process and respawn it as bash.\n"
                                "             If False, run `exec bash` inside the pane.\n")},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        field<Record, &Record::session_name>("session_name"),
        field<Record, &Record::window_index>("window_index"),
        field<Record, &Record::pane_index>("pane_index"),
        field<Record, &Record::pane_id>("pane_id"),
        field<Record, &Record::socket>("socket"),
        renamable<Record, &Record::title, core::set_pane_title>("title", "title"),
        acting<Record, core::select_pane>("select", "select this pane"),
        acting<Record, core::clear_pane_history>("clear", "clear a panes history"),
        acting<Record, core::pane_is_alive>("is_alive", "Whether the pane is alive."),
        acting<Record, core::current_command>(
            "current_command",
            "get this shells current command/program\nwill be the shell name if no program is active\n\nReturns:\n"
            "    a string of the current program running on the pane. e.g. `ping -q example.com` will only return "
            "`ping`"),
        acting<Record, core::current_commandline>(
            "current_commandline",
            "get this panes current running command with its arguments\n\nReturns:\n"
            "    the program ran in the pane with the arguments used. e.g. `ping -q example.com`"),
        acting<Record, last_command>("last_command",
                                     "get the last command used in this pane\n\nReturns:\n    LastCommand"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.Pane", sizeof(py::Instance<Record>), class_doc(kNew), true, pane_new,
        py::dealloc<Record>, text_form<Record>, methods, getsets,
    };
    return spec;
}

py::LazyType g_pane_type(pane_spec);

}  // namespace

py::Ref make_pane(core::PaneRecord record) { return py::make_instance(g_pane_type.get(), std::move(record)); }

}  // namespace vordalin::api
