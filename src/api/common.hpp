#pragma once

// Building blocks the class files share: conversions of core results to Python objects,
// and the slot functions that every getter, acting property, setter and text form uses.

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "api/api.hpp"
#include "core/records.hpp"
#include "core/tmux.hpp"
#include "py/access.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/entry.hpp"
#include "py/types.hpp"

namespace vordalin::api {

inline py::Ref to_python(const std::string& value) { return py::new_str(value); }
inline py::Ref to_python(const std::optional<std::string>& value) { return py::new_optional_str(value); }
inline py::Ref to_python(const core::Text& value) { return py::new_str(value.view()); }
inline py::Ref to_python(bool value) { return py::new_bool(value); }
inline py::Ref to_python(std::uint32_t value) { return py::new_int(value); }
inline py::Ref to_python(std::uint64_t value) { return py::new_int(value); }
inline py::Ref to_python(const std::optional<std::uint32_t>& value) { return py::new_optional_int(value); }
inline py::Ref to_python(core::SessionRecord value) { return make_session(std::move(value)); }
inline py::Ref to_python(core::WindowRecord value) { return make_window(std::move(value)); }
inline py::Ref to_python(core::PaneRecord value) { return make_pane(std::move(value)); }
inline py::Ref to_python(core::SessionMetadata value) { return make_session_metadata(std::move(value)); }
inline py::Ref to_python(core::WindowMetadata value) { return make_window_metadata(std::move(value)); }
inline py::Ref to_python(core::LastCommandRecord value) { return make_last_command(std::move(value)); }

template <class T>
py::Ref to_python(std::vector<T> values) {
    py::Ref list = py::new_list(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        py::list_set(list, i, to_python(std::move(values[i])));
    }
    return list;
}

template <class T>
py::Ref to_python(std::optional<T> value) {
    if (!value) {
        return py::Ref::new_ref(Py_None);
    }
    return to_python(std::move(*value));
}

// Calls an operation and converts what it returns; an operation without a value answers
// True, since its failures are raised.
template <class Operation>
PyObject* answer(Operation&& operation) {
    if constexpr (std::is_void_v<decltype(operation())>) {
        operation();
        return py::new_bool(true).release();
    } else {
        return to_python(operation()).release();
    }
}

template <class Record>
Record& record_of(PyObject* self) noexcept {
    return py::instance<Record>(self).record;
}

// A plain field attribute: returns the field as stored.
template <class Record, auto Field>
PyObject* get_field(PyObject* self, void*) noexcept {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        return to_python(record_of<Record>(self).*Field).release();
    });
}

// An acting property, or a method without arguments: runs the operation on the record.
template <class Record, auto Operation>
PyObject* act(PyObject* self, void*) noexcept {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        return answer([&] { return Operation(record_of<Record>(self)); });
    });
}

template <class Record, auto Operation>
PyObject* call_without_arguments(PyObject* self, PyObject*) noexcept {
    return act<Record, Operation>(self, nullptr);
}

// A method with parameters: binds and converts every argument first (`convert` returns the
// operation with the converted values), then runs it on the record under shared access.
template <class Record, std::size_t N, class Convert>
PyObject* call_method(PyObject* self, const py::Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Convert&& convert) noexcept {
    return py::entry([&] {
        auto operation = convert(py::bind(sig, args, nargs, kwnames));
        py::SharedAccess access(py::instance<Record>(self).access);
        return answer([&] { return operation(record_of<Record>(self)); });
    });
}

// A renaming setter: converts the value, then renames in tmux and in the record.
template <class Record, auto Rename>
int set_by_rename(PyObject* self, PyObject* value, void* param) noexcept {
    return py::entry_status([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            throw py::ErrorAlreadySet{};
        }
        std::string text = py::to_str(value, static_cast<const char*>(param));
        py::ExclusiveAccess access(py::instance<Record>(self).access);
        Rename(record_of<Record>(self), text);
    });
}

template <class Record>
PyObject* text_form(PyObject* self) noexcept {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        return py::new_str(core::text_form(record_of<Record>(self))).release();
    });
}

// The slot functions CPython's tables want, cast to the generic method type.
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kWithArguments = METH_FASTCALL | METH_KEYWORDS;

// Docstrings are built from the parameter tables once and live for the process.
inline const char* keep_doc(std::string doc) {
    static std::vector<std::unique_ptr<std::string>> docs;
    docs.push_back(std::make_unique<std::string>(std::move(doc)));
    return docs.back()->c_str();
}

template <std::size_t N>
const char* method_doc(const py::Signature<N>& sig, const char* body) {
    return keep_doc(py::signature_doc(sig.name, sig.params, body));
}

inline const char* method_doc(const char* name, const char* body) {
    return keep_doc(py::signature_doc(name, {}, body));
}

template <std::size_t N>
const char* class_doc(const py::Signature<N>& sig) {
    return keep_doc(py::signature_doc(sig.owner, sig.params, "", false));
}

// A getset entry for a plain field: empty docstring, no setter.
template <class Record, auto Field>
constexpr PyGetSetDef field(const char* name) noexcept {
    return PyGetSetDef{name, get_field<Record, Field>, nullptr, "", nullptr};
}

// A getset entry for an acting property.
template <class Record, auto Operation>
constexpr PyGetSetDef acting(const char* name, const char* doc) noexcept {
    return PyGetSetDef{name, act<Record, Operation>, nullptr, doc, nullptr};
}

// A getset entry for a renaming setter; `param` names the value in conversion errors.
template <class Record, auto Field, auto Rename>
constexpr PyGetSetDef renamable(const char* name, const char* param) noexcept {
    return PyGetSetDef{name, get_field<Record, Field>, set_by_rename<Record, Rename>, "",
                       const_cast<char*>(param)};
}

template <class Record, auto Operation>
constexpr PyMethodDef no_argument_method(const char* name, const char* doc) noexcept {
    return PyMethodDef{name, call_without_arguments<Record, Operation>, METH_NOARGS, doc};
}

}  // namespace vordalin::api
