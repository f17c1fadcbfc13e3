#pragma once

#include <cxxabi.h>

#include <cerrno>
#include <exception>
#include <new>
#include <system_error>

#include "core/error.hpp"
#include "py/errors.hpp"
#include "py/python.hpp"
#include "py/ref.hpp"
#include "runner/process.hpp"

namespace vordalin::py {

// Sets PanicException (a BaseException) with the given description.
void raise_panic(const char* what) noexcept;
// Sets the OSError of the error number (FileNotFoundError and the like) with the message.
void raise_os_error(int error_number, const char* message) noexcept;

// Turns the C++ exception in flight into a Python exception.
inline void translate_exception() noexcept {
    try {
        throw;
    } catch (const ErrorAlreadySet&) {
    } catch (const runner::Interrupted&) {
    } catch (const core::Error& error) {
        if (error.kind() == core::Error::Kind::kOs) {
            // OSError picks its subclass (FileNotFoundError, ...) from the number.
            errno = error.error_number();
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, error.message().c_str());
            return;
        }
        if (error.kind() == core::Error::Kind::kTmux || error.kind() == core::Error::Kind::kNotFound) {
            set_tmux_error(error);
            return;
        }
        PyObject* type = PyExc_RuntimeError;
        switch (error.kind()) {
            case core::Error::Kind::kValue:
                type = PyExc_ValueError;
                break;
            case core::Error::Kind::kType:
                type = PyExc_TypeError;
                break;
            case core::Error::Kind::kKey:
                type = PyExc_KeyError;
                break;
            default:
                break;
        }
        const std::string& message = error.message();
        PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
        if (text != nullptr) {
            // KeyError's argument is the key itself, as a dict's is.
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::system_error& error) {
        // A system call that failed: the OSError of its error number, naming the call.
        raise_os_error(error.code().value(), error.what());
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
}

// Every function CPython calls goes through one of these two: nothing escapes as a C++
// exception, and every failure returns with a Python exception set. A forced unwind (the
// thread being cancelled or exiting) is no failure and passes through: it must reach the
// thread's start to end the thread, and the C library aborts the process when it is caught
// and not rethrown. So neither these nor their callers may be noexcept.
template <class Body>
PyObject* entry(Body&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <class Body>
int entry_status(Body&& body) {
    try {
        body();
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        translate_exception();
        return -1;
    }
}

}  // namespace vordalin::py
