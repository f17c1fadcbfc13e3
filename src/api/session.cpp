// The Session class: a session name and the socket of its server.
#include "api/common.hpp"
#include "core/session.hpp"

namespace vordalin::api {

namespace {

using Record = core::SessionRecord;

constexpr py::Signature<2> kNew{"Session", "__new__", {{{"name"}, {"socket", "None"}}}};

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return py::entry([&] {
        auto bound = py::bind(kNew, args, kwargs);
        Record record{py::to_str(bound[0], "name"), py::to_optional_str(bound[1], "socket")};
        return py::make_instance(type, std::move(record)).release();
    });
}

const py::TypeSpec& session_spec() {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_session>(
            "kill", method_doc("kill", "kill this session\n\nReturns:\n    True if the operation is successful")),
        no_argument_method<Record, core::session_metadata>(
            "metadata", method_doc("metadata", "get session metadata\n\nReturns:\n    SessionMetadata\n\n"
                                               "Raises: RuntimeError on failure")),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        renamable<Record, &Record::name, core::rename_session>("name", "new_name"),
        field<Record, &Record::socket>("socket"),
        acting<Record, core::session_windows>("windows",
                                              "get a list of all windows in a session\n\nReturns:\n    Window"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.Session", sizeof(py::Instance<Record>), class_doc(kNew), true, session_new,
        py::dealloc<Record>, text_form<Record>, methods, getsets,
    };
    return spec;
}

py::LazyType g_session_type(session_spec);

}  // namespace

py::Ref make_session(core::SessionRecord record) { return py::make_instance(g_session_type.get(), std::move(record)); }

}  // namespace vordalin::api
