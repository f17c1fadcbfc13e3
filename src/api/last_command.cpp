// LastCommand: reads or reruns the last command typed in a pane's shell.
#include "core/last_command.hpp"
#include "api/common.hpp"

namespace vordalin::api {

using Record = core::LastCommandRecord;

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::read_last_command>(
            "read",
            "Read the last bash command from this pane.\n\nReturns:\n    The last command as a string.\n\n"
            "WARNING: using this function might mess up your pane history"),
        no_argument_method<Record, core::rerun_last_command>(
            "run", "Run the last bash command from this pane.\n\nReturns:\n    True on success."),
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyGetSetDef> getsets = attributes<Record>();
    static const py::TypeSpec spec = record_spec<Record>(methods, getsets.data());
    return spec;
}

}  // namespace vordalin::api
