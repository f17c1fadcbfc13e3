// The Window class: a window index within a named session, and the window's name.
#include "api/common.hpp"
#include "core/window.hpp"

namespace vordalin::api {

namespace {

using Record = core::WindowRecord;

constexpr py::Signature<4> kNew{"Window", "__new__", {{{"session_name"}, {"index"}, {"socket"}, {"name"}}}};

PyObject* window_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry([&] {
        auto bound = py::bind(kNew, args, kwargs);
        Record record;
        record.session_name = py::to_str(bound[0], "session_name");
        record.index = py::to_u32(bound[1], "index");
        record.socket = py::to_optional_str(bound[2], "socket");
        record.name = py::to_str(bound[3], "name");
        return py::make_instance(type, std::move(record)).release();
    });
}

std::optional<Record> next_window(const Record& window) { return core::step_window(window, core::Step::kNext); }
std::optional<Record> previous_window(const Record& window) {
    return core::step_window(window, core::Step::kPrevious);
}

const py::TypeSpec& window_spec() {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_window>(
            "kill", method_doc("kill", "kill this window\n\nReturns:\n"
                                       "    True if killed successfully, False if the operation failed")),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        field<Record, &Record::session_name>("session_name"),
        field<Record, &Record::index>("index"),
        field<Record, &Record::socket>("socket"),
        renamable<Record, &Record::name, core::rename_window>("name", "new_name"),
        acting<Record, core::select_window>(
            "select",
            "select a window if not selected\n\nReturns:\n    True if selected, False if the operation failed"),
        acting<Record, core::window_panes>(
            "panes", "list panes in a window\n\nReturns:\n    a list of panes available in this window"),
        acting<Record, core::window_metadata>("metadata", "get window metadata\n\nReturns:\n    WindowMetadata"),
        acting<Record, next_window>("next",
                                    "Move to the next tmux window in this session and return it.\n\nReturns:\n"
                                    "    The newly selected Window, or None if the operation fails."),
        acting<Record, previous_window>("previous",
                                        "Move to the previous tmux window in this session and return it.\n\nReturns:\n"
                                        "    The newly selected Window, or None if the operation fails."),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.Window", sizeof(py::Instance<Record>), class_doc(kNew), true, window_new,
        py::dealloc<Record>, text_form<Record>, methods, getsets,
    };
    return spec;
}

py::LazyType g_window_type(window_spec);

}  // namespace

py::Ref make_window(core::WindowRecord record) { return py::make_instance(g_window_type.get(), std::move(record)); }

}  // namespace vordalin::api
