#include "py/entry.hpp"

namespace vordalin::py {

namespace {

// Created on first use and kept for the life of the process, like the classes.
PyObject* panic_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("vordalin.PanicException", "An internal failure of the vordalin module.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

void raise_panic(const char* what) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) {
        return;  // the failure to create the class is the exception now set
    }
    PyErr_SetString(type, what);
}

void raise_os_error(int error_number, const char* message) noexcept {
    // OSError(errno, text) picks its subclass from the number.
    PyObject* error = PyObject_CallFunction(PyExc_OSError, "is", error_number, message);
    if (error == nullptr) {
        return;  // the failure to make it is the exception now set
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
}

}  // namespace vordalin::py
