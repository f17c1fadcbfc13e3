#include "py/errors.hpp"

#include "py/convert.hpp"
#include "py/ref.hpp"

namespace vordalin::py {

namespace {

// Written in Python: a user can make and pickle these like any exception, and tools that read
// signatures (stubtest, help()) see an ordinary __init__.
constexpr const char* kSource = R"(
class TmuxError(RuntimeError):
    """tmux ran, or was to run, and reported a failure.

    The message is the member's own, as it always was; the attributes tell more:
    command (the tmux arguments from the subcommand on), stderr (tmux's error output)
    and returncode (its exit code, minus the signal number when a signal ended it; None
    when tmux could not be started, was not run, or its status was lost).
    """

    def __init__(self, message, command=(), stderr="", returncode=None):
        super().__init__(message)
        self.command = list(command)
        self.stderr = stderr
        self.returncode = returncode


class NotFoundError(TmuxError):
    """The session, window, pane or server that a call names was not there."""
)";

struct Classes {
    PyObject* tmux_error = nullptr;
    PyObject* not_found = nullptr;
};

Classes make_classes() {
    Ref code = Ref::steal(Py_CompileString(kSource, "vordalin", Py_file_input));
    Ref globals = Ref::steal(PyDict_New());
    Ref name = Ref::steal(PyUnicode_FromString("vordalin"));
    if (PyDict_SetItemString(globals.get(), "__name__", name.get()) != 0 ||
        PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) != 0) {
        throw ErrorAlreadySet{};
    }
    Ref ran = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    Classes classes;
    classes.tmux_error = Ref::new_ref(PyDict_GetItemString(globals.get(), "TmuxError")).release();
    classes.not_found = Ref::new_ref(PyDict_GetItemString(globals.get(), "NotFoundError")).release();
    return classes;
}

// Kept for the process: the module is made once, and every error must be of one class.
const Classes* classes() noexcept {
    static Classes made;
    if (made.tmux_error == nullptr) {
        try {
            made = make_classes();
        } catch (const ErrorAlreadySet&) {
            return nullptr;
        }
    }
    return &made;
}

Ref new_words(const std::vector<std::string>& words) {
    Ref list = new_list(words.size());
    for (std::size_t i = 0; i < words.size(); ++i) {
        list_set(list, i, new_str(words[i]));
    }
    return list;
}

}  // namespace

PyObject* tmux_error_type() noexcept {
    const Classes* made = classes();
    return made == nullptr ? nullptr : made->tmux_error;
}

PyObject* not_found_error_type() noexcept {
    const Classes* made = classes();
    return made == nullptr ? nullptr : made->not_found;
}

void set_tmux_error(const core::Error& error) noexcept {
    PyObject* type = error.kind() == core::Error::Kind::kNotFound ? not_found_error_type() : tmux_error_type();
    if (type == nullptr) {
        return;  // the failure to make the class is the exception now set
    }
    try {
        const core::TmuxAnswer& answer = error.answer();
        Ref returncode = answer.returncode ? Ref::steal(PyLong_FromLong(*answer.returncode)) : Ref::new_ref(Py_None);
        Ref raised = Ref::steal(
            PyObject_CallFunctionObjArgs(type, new_str(error.message()).get(), new_words(answer.command).get(),
                                         new_str(answer.error_text).get(), returncode.get(), nullptr));
        PyErr_SetObject(type, raised.get());
    } catch (const ErrorAlreadySet&) {
    }
}

}  // namespace vordalin::py
