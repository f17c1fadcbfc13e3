// Snapshot, WindowInfo and PaneInfo: a whole server as one tmux client saw it.
#include "api/common.hpp"

namespace vordalin::api {

namespace {

core::WindowRecord window_of(const core::WindowInfo& info) {
    return core::WindowRecord{info.session_name, info.index, info.socket, info.name};
}

core::PaneRecord pane_of(const core::PaneInfo& info) {
    return core::PaneRecord{info.session_name, info.window_index, info.pane_index,
                            info.pane_id,      info.title,        info.socket};
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<core::Snapshot>) {
    return value_spec<core::Snapshot>();
}

const py::TypeSpec& class_spec(std::type_identity<core::WindowInfo>) {
    return value_spec<core::WindowInfo>({acting<core::WindowInfo, window_of>(
        "window", "The Window record of this window (no tmux command runs).\n\nReturns:\n    Window")});
}

const py::TypeSpec& class_spec(std::type_identity<core::PaneInfo>) {
    return value_spec<core::PaneInfo>({acting<core::PaneInfo, pane_of>(
        "pane", "The Pane record of this pane (no tmux command runs).\n\nReturns:\n    Pane")});
}

}  // namespace vordalin::api
