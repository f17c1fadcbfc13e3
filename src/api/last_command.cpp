// LastCommand: reads or reruns the last command typed in a pane's shell.
#include "api/common.hpp"
#include "core/last_command.hpp"

namespace vordalin::api {

namespace {

using Record = core::LastCommandRecord;

const py::TypeSpec& last_command_spec() {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::read_last_command>(
            "read", method_doc("read", "Read the last bash command from this pane.\n\nReturns:\n"
                                       "    The last command as a string.\n\n"
                                       "WARNING: using this function might mess up your pane history")),
        no_argument_method<Record, core::rerun_last_command>(
            "run", method_doc("run", "Run the last bash command from this pane.\n\nReturns:\n    True on success.")),
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        field<Record, &Record::pane_id>("pane_id"),
        field<Record, &Record::socket>("socket"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.LastCommand", sizeof(py::Instance<Record>), nullptr, false, nullptr,
        py::dealloc<Record>, text_form<Record>, methods, getsets,
    };
    return spec;
}

py::LazyType g_last_command_type(last_command_spec);

}  // namespace

py::Ref make_last_command(core::LastCommandRecord record) {
    return py::make_instance(g_last_command_type.get(), std::move(record));
}

}  // namespace vordalin::api
