// The Window class: a window index within a named session, and the window's name.
#include "core/window.hpp"
#include "api/common.hpp"

namespace vordalin::api {

namespace {

using Record = core::WindowRecord;
constexpr const char* kClass = core::RecordTable<Record>::kClass;

constexpr auto kNew = py::signature(kClass, "__new__", py::text("session_name"), py::u32("index"),
                                    py::text_or_none("socket"), py::text("name"));

std::optional<Record> next_window(const Record& window) {
    return core::step_window(window, core::Step::kNext);
}
std::optional<Record> previous_window(const Record& window) {
    return core::step_window(window, core::Step::kPrevious);
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_window>(
            "kill", "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyGetSetDef> getsets = attributes<Record>(
        renamed_by<&Record::name, core::rename_window>("new_name"),
        {
            acting<Record, core::select_window>(
                "select",
                "select a window if not selected\n\nReturns:\n    True if selected, False if the operation failed"),
            acting<Record, core::window_panes>(
                "panes", "list panes in a window\n\nReturns:\n    a list of panes available in this window"),
            acting<Record, core::window_metadata>("metadata", "get window metadata\n\nReturns:\n    WindowMetadata"),
            acting<Record, next_window>("next",
                                        "Move to the next tmux window in this session and return it.\n\nReturns:\n"
                                        "    The newly selected Window, or None if the operation fails."),
            acting<Record, previous_window>(
                "previous",
                "Move to the previous tmux window in this session and return it.\n\nReturns:\n"
                "    The newly selected Window, or None if the operation fails."),
        });
    static const py::TypeSpec spec = record_spec<Record, kNew>(methods, getsets.data());
    return spec;
}

}  // namespace vordalin::api
