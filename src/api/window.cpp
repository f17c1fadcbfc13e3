// The Window class: a window index within a named session, and the window's name.
#include "core/window.hpp"
#include "api/common.hpp"
#include "core/options.hpp"

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

constexpr auto kSelectLayout = py::signature(kClass, "select_layout", py::text("layout"));
constexpr auto kResize =
    py::signature(kClass, "resize", py::optional_positive("width"), py::optional_positive("height"));
constexpr auto kSwap = py::signature(kClass, "swap", record_argument<Record>("other"));
constexpr auto kMove = py::signature(kClass, "move", py::keyword_only(py::optional_u32("index")),
                                     py::keyword_only(optional_record_argument<core::SessionRecord>("session")));
constexpr auto kDisplay = py::signature(kClass, "display", py::text("format"));

core::OptionsRecord window_options(const Record& window) {
    return {core::window_scope(window)};
}
core::HooksRecord window_hooks(const Record& window) {
    return {core::window_scope(window)};
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        no_argument_method<Record, core::kill_window>(
            "kill", "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
        method<Record, kSelectLayout, core::select_layout>(
            "Lay out the window's panes.\n\nArgs:\n"
            "    layout: even-horizontal, even-vertical, main-horizontal, main-vertical, tiled, or a layout\n"
            "        string as WindowMetadata.layout gives it (its checksum must match).\n\n"
            "Raises: ValueError for any other text, before anything runs (tmux 3.3a's server crashes on\n"
            "many), and with tmux's text when tmux refuses (a layout string for another pane count);\n"
            "RuntimeError when the window is gone."),
        method<Record, kResize, core::resize_window>(
            "Resize the window to `width` columns and/or `height` lines.\n\n"
            "tmux then sizes this window by hand (its window-size option becomes manual).\n\n"
            "Raises: ValueError when neither is given; RuntimeError when tmux fails."),
        method<Record, kSwap, core::swap_windows>(
            "Swap this window with another (of any session of the same server).\n\n"
            "Each window takes the other's place, and a session's current window stays current at its\n"
            "new index. The records keep naming the places (session and index), not the windows.\n\n"
            "Raises: RuntimeError when tmux fails (a window is gone), ValueError for another server's."),
        method<Record, kMove, core::move_window>(
            "Move the window and return the record of where it went.\n\nArgs:\n"
            "    index: The index to move to; the next free one when None (an index in use fails).\n"
            "    session: The session to move it to; its own when None.\n\n"
            "Returns:\n    Window\n\nRaises: RuntimeError when tmux fails."),
        method<Record, kDisplay, core::display_window>(
            "Evaluate a tmux format for this window (and its active pane) and return the text.\n\n"
            "The format is tmux's syntax by design. Raises RuntimeError when the window is gone: the\n"
            "answer is never another window's."),
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
            acting<Record, core::active_pane>("active_pane",
                                              "The window's active pane; raises RuntimeError when the window is gone."),
            acting<Record, core::window_session>("session",
                                                 "The window's session; raises RuntimeError when the window is gone."),
            acting<Record, window_options>("options", "The window's own options, as Options."),
            acting<Record, window_hooks>("hooks", "The window's own hooks, as Hooks."),
            acting<Record, previous_window>(
                "previous",
                "Move to the previous tmux window in this session and return it.\n\nReturns:\n"
                "    The newly selected Window, or None if the operation fails."),
        });
    static const py::TypeSpec spec = record_spec<Record, kNew>(methods, getsets.data());
    return spec;
}

}  // namespace vordalin::api
