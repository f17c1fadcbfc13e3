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

}  // namespace vordalin::py
