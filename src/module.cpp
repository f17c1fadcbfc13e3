// The module initialiser: one module object per process, holding Server, the two tmux errors
// and __all__.
#include "api/api.hpp"
#include "channel/channel.hpp"
#include "py/entry.hpp"
#include "py/errors.hpp"
#include "runner/process.hpp"
#include "runner/wait.hpp"

namespace {

using vordalin::py::Ref;

PyMethodDef g_functions[] = {
    {"snapshot_all", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vordalin::api::snapshot_all)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"_restore", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vordalin::api::restore)), METH_FASTCALL,
     "_restore(name, *fields)\n--\n\nRebuild a pickled or copied vordalin object."},
    {"_pane_watch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vordalin::api::pane_watch)),
     METH_FASTCALL | METH_KEYWORDS, "_pane_watch(pane)\n--\n\nThe watch that a wait on the pane sleeps on, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "vordalin",
    "",
    // Zero, not -1: a re-import after removal from sys.modules then calls the initialiser
    // again, which hands back the module made the first time.
    0,
    g_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

// The channels' clients end with the interpreter: each is told to go, and waited for. The
// interpreter is gone by then, so nothing may run its signal handlers any more.
void close_channels() {
    vordalin::runner::set_interrupt_check(nullptr);
    vordalin::runner::set_lock_hooks(nullptr, nullptr);
    vordalin::channel::close_all();
}

// Runs the interpreter's signal handlers while a child runs; a handler that raised (Ctrl-C's
// KeyboardInterrupt) makes the runner kill the child and give up.
bool python_signal_raised() {
    return PyErr_CheckSignals() != 0;
}

// A wait on the channel lets the interpreter's other threads run.
void* release_interpreter() noexcept {
    return PyEval_SaveThread();
}

void retake_interpreter(void* state) {
    PyEval_RestoreThread(static_cast<PyThreadState*>(state));
}

void add_to_all(PyObject* module, const char* name) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        Ref created = Ref::steal(PyList_New(0));
        if (PyModule_AddObjectRef(module, "__all__", created.get()) != 0) {
            throw vordalin::py::ErrorAlreadySet{};
        }
        all = created.release();
    }
    Ref list = Ref::steal(all);
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (PyList_Append(list.get(), text.get()) != 0) {
        throw vordalin::py::ErrorAlreadySet{};
    }
}

// A name of the module's own: in __all__ and a module attribute.
void add_export(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) {
        throw vordalin::py::ErrorAlreadySet{};
    }
    add_to_all(module, name);
    if (PyModule_AddObjectRef(module, name, value) != 0) {
        throw vordalin::py::ErrorAlreadySet{};
    }
}

PyObject* create_module() {
    g_functions[0].ml_doc = vordalin::api::kSnapshotAllDoc;
    Ref module = Ref::steal(PyModule_Create(&g_definition));
    PyObject* server = reinterpret_cast<PyObject*>(vordalin::api::server_type());
    add_export(module.get(), "Server", server);
    add_export(module.get(), "TmuxError", vordalin::py::tmux_error_type());
    add_export(module.get(), "NotFoundError", vordalin::py::not_found_error_type());
    add_to_all(module.get(), "snapshot_all");
    return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit_vordalin() {
    return vordalin::py::entry([]() -> PyObject* {
        PyInterpreterState* interpreter = PyInterpreterState_Get();
        if (g_interpreter != nullptr && g_interpreter != interpreter) {
            PyErr_SetString(PyExc_ImportError, "vordalin does not support sub-interpreters");
            return nullptr;
        }
        if (g_module == nullptr) {
            g_module = create_module();
            g_interpreter = interpreter;
            vordalin::runner::set_interrupt_check(python_signal_raised);
            vordalin::runner::set_lock_hooks(release_interpreter, retake_interpreter);
            if (Py_AtExit(close_channels) != 0) {
                PyErr_SetString(PyExc_ImportError, "vordalin cannot close its channels at exit");
                return nullptr;
            }
        }
        Py_INCREF(g_module);
        return g_module;
    });
}
