// The Session class: a session name and the socket of its server.
#include "api/common.hpp"
#include "core/session.hpp"

namespace vordalin::api {

namespace {

using Record = core::SessionRecord;
constexpr const char* kClass = core::RecordTable<Record>::kClass;

constexpr auto kNew = py::signature(kClass, "__new__", py::text("name"), py::optional_text("socket"));

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_session>(
            "kill", "kill this session\n\nReturns:\n    True if the operation is successful"),
        no_argument_method<Record, core::session_metadata>(
            "metadata", "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyGetSetDef> getsets =
        attributes<Record>(renamed_by<&Record::name, core::rename_session>("new_name"),
                           {acting<Record, core::session_windows>(
                               "windows", "get a list of all windows in a session\n\nReturns:\n    Window")});
    static const py::TypeSpec spec = record_spec<Record, kNew>(methods, getsets.data());
    return spec;
}

}  // namespace vordalin::api
