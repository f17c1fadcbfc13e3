// The Pane class: a pane id with the indexes and title tmux reported, and its socket.
#include "core/pane.hpp"
#include "api/common.hpp"
#include "api/pane_wait.hpp"
#include "core/options.hpp"

namespace vordalin::api {

namespace {

using Record = core::PaneRecord;
constexpr const char* kClass = core::RecordTable<Record>::kClass;

constexpr auto kNew =
    py::signature(kClass, "__new__", py::text("session_name"), py::u32("window_index"), py::u32("pane_index"),
                  py::text("pane_id"), py::text("title"), py::text_or_none("socket"));
constexpr auto kSplit = py::signature(
    kClass, "split", py::flag("horizontal", false), py::optional_text("command"), py::flag("keep", true),
    py::keyword_only(py::flag("select", true)), py::keyword_only(py::optional_positive("size")),
    py::keyword_only(py::optional_text("start_directory")), py::keyword_only(py::optional_text_mapping("environment")));
constexpr auto kSwap = py::signature(kClass, "swap", record_argument<core::PaneRecord>("other"));
constexpr auto kJoin =
    py::signature(kClass, "join", record_argument<core::WindowRecord>("window"),
                  py::keyword_only(py::flag("horizontal", false)), py::keyword_only(py::optional_positive("size")));
constexpr auto kBreakOut = py::signature(kClass, "break_out", py::keyword_only(py::optional_text("name")),
                                         py::keyword_only(py::flag("select", false)));
constexpr auto kDisplay = py::signature(kClass, "display", py::text("format"));

core::OptionsRecord pane_options(const core::PaneRecord& pane) {
    return {core::pane_scope(pane)};
}
core::HooksRecord pane_hooks(const core::PaneRecord& pane) {
    return {core::pane_scope(pane)};
}
constexpr auto kResize = py::signature(kClass, "resize", py::text("direction"), py::u32("amount"));
constexpr auto kRespawn = py::signature(kClass, "respawn", py::optional_text("command"), py::flag("kill", false));
constexpr auto kSendKeys = py::signature(kClass, "send_keys", py::text("keys"), py::flag("enter", false),
                                         py::flag("clear_first", false), py::keyword_only(py::flag("literal", false)));
constexpr auto kCapture =
    py::signature(kClass, "capture", py::flag("trim", false), py::optional_u32("scroll_back"), py::flag("full", false),
                  py::keyword_only(py::flag("escapes", false)), py::keyword_only(py::flag("join", false)));
constexpr auto kBashShell = py::signature(kClass, "bash_shell", py::flag("respawn", false));

core::LastCommandRecord last_command(const Record& pane) {
    return core::LastCommandRecord{pane.pane_id, pane.socket};
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static std::vector<PyMethodDef> methods{
        no_argument_method<Record, core::kill_pane>("kill", "Kill this pane."),
        method<Record, kSplit, core::split_pane>(
            "Split this pane and return the new pane.\n\nArgs:\n"
            "    horizontal: Split horizontally if True, vertically otherwise.\n"
            "    command: Optional command to run in the new pane.\n"
            "    keep: keep the split running after execution is complete, defaults to true\n"
            "    select: Make the new pane the window's active one; False leaves the current pane current.\n"
            "    size: The new pane's size in cells (columns when horizontal, else lines).\n"
            "    start_directory: The directory the program starts in; it must exist.\n"
            "    environment: Variables to set for the program, as a mapping of str to str.\n"),
        method<Record, kSwap, core::swap_panes>(
            "Swap this pane with another of the same server (in any window).\n\n"
            "Each pane takes the other's place; each window keeps its active pane's place.\n\n"
            "Raises: RuntimeError when tmux fails (a pane is gone), ValueError for another server's."),
        method<Record, kJoin, core::join_pane>(
            "Move this pane into another window, beside that window's active pane, and make it active.\n\n"
            "Args:\n"
            "    window: The window to join.\n"
            "    horizontal: Side by side if True, stacked otherwise.\n"
            "    size: The pane's size there in cells.\n\n"
            "Returns:\n    Pane: the record of where it went.\n\nRaises: RuntimeError when tmux fails."),
        method<Record, kBreakOut, core::break_pane>(
            "Move this pane into a new window of its session and return that window.\n\n"
            "Args:\n"
            "    name: The new window's name, taken as it is; tmux names it after its program when None.\n"
            "    select: Make the new window the session's current one.\n\n"
            "Returns:\n    Window\n\nRaises: RuntimeError when tmux fails."),
        method<Record, kDisplay, core::display_pane>(
            "Evaluate a tmux format for this pane and return the text.\n\n"
            "The format is tmux's syntax by design. Raises RuntimeError when the pane is gone: the\n"
            "answer is never another pane's."),
        method<Record, kResize, core::resize_pane>("Resize the pane.\n\nArgs:\n"
                                                   "    direction: One of \"left\", \"right\", \"up\", or \"down\".\n"
                                                   "    amount: Number of cells to resize by.\n"),
        method<Record, kRespawn, core::respawn_pane>("Respawn the pane.\n\nArgs:\n"
                                                     "    command: Optional command to run after respawning.\n"
                                                     "    kill: Kill the existing pane process first."),
        method<Record, kSendKeys, core::send_keys>(
            "send keys to a pane\n\nArgs:\n"
            "    keys: the keys/commands to send to the pane\n"
            "    enter: whether to send enter command and run the command sent\n"
            "    clear_first: first clear the screen before running the command\n\n"
            "Returns:\n    True if successfully sent keys\n"),
        method<Record, kCapture, core::capture_pane>(
            "capture a panes content\n\nArgs:\n"
            "    trim: remove trailing whitespaces from the capture output\n"
            "    scroll_back: scroll back this number of lines\n"
            "    full: capture full pane output\n"
            "    escapes: colours and attributes as escape sequences (capture-pane -e)\n"
            "    join: wrapped lines joined (capture-pane -J)\n\n"
            "Returns:\n"
            "    a string of the pane content. any character visible in the pane will ne returned"),
        method<Record, kBashShell, core::bash_shell>(
            "Change this pane to bash.\n\nArgs:\n"
            "    respawn: If True, kill the current pane process and respawn it as bash.\n"
            "             If False, run `exec bash` inside the pane.\n"),
    };
    static bool waits_added = [] {
        std::vector<PyMethodDef> waits = pane_wait_methods();
        methods.insert(methods.end(), waits.begin(), waits.end());
        methods.push_back({nullptr, nullptr, 0, nullptr});
        return true;
    }();
    (void)waits_added;
    static std::vector<PyGetSetDef> getsets = attributes<Record>(
        renamed_by<&Record::title, core::set_pane_title>("title"),
        {
            acting<Record, core::select_pane>("select", "select this pane"),
            acting<Record, core::clear_pane_history>("clear", "clear a panes history"),
            acting<Record, core::pane_is_alive>("is_alive", "Whether the pane is alive."),
            acting<Record, core::pane_pid>("pid", "The pid of the pane's process, or None when the pane is gone."),
            acting<Record, core::current_command>(
                "current_command",
                "get this shells current command/program\nwill be the shell name if no program is active\n\nReturns:\n"
                "    a string of the current program running on the pane. e.g. `ping -q example.com` will only "
                "return `ping`"),
            acting<Record, core::current_commandline>(
                "current_commandline",
                "get this panes current running command with its arguments\n\nReturns:\n"
                "    the program ran in the pane with the arguments used. e.g. `ping -q example.com`"),
            acting<Record, core::pane_window>("window",
                                              "The pane's window now; raises RuntimeError when the pane is gone."),
            acting<Record, pane_options>("options", "The pane's own options, as Options."),
            acting<Record, pane_hooks>("hooks", "The pane's own hooks, as Hooks."),
            acting<Record, last_command>("last_command",
                                         "get the last command used in this pane\n\nReturns:\n    LastCommand"),
        });
    static const py::TypeSpec spec = record_spec<Record, kNew>(methods.data(), getsets.data());
    return spec;
}

}  // namespace vordalin::api
