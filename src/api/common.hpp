#pragma once

// Building blocks the class files share: conversions of core results to Python objects,
// and the slot functions that every getter, acting property, setter and text form uses.

#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
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

inline py::Ref to_python(const std::string& value) {
    return py::new_str(value);
}
inline py::Ref to_python(const std::optional<std::string>& value) {
    return py::new_optional_str(value);
}
inline py::Ref to_python(const core::SocketPath& socket) {
    return py::new_optional_str(socket.path());
}
inline py::Ref to_python(const core::Text& value) {
    return py::new_str_lossy(value.raw());
}
inline py::Ref to_python(bool value) {
    return py::new_bool(value);
}
inline py::Ref to_python(std::uint32_t value) {
    return py::new_int(value);
}
inline py::Ref to_python(std::uint64_t value) {
    return py::new_int(value);
}
inline py::Ref to_python(int value) {
    return py::Ref::steal(PyLong_FromLong(value));
}
inline py::Ref to_python(std::monostate) {
    return py::Ref::new_ref(Py_None);
}
inline py::Ref to_python(const std::optional<std::uint32_t>& value) {
    return py::new_optional_int(value);
}

// A record with a class of its own becomes an instance of that class.
template <class Record>
    requires requires { core::RecordTable<Record>::kClass; }
py::Ref to_python(Record value) {
    return py::make_instance(class_type<Record>(), std::move(value));
}

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

// A parameter that takes a record of one of the module's classes (a Window, a Session), as a
// copy of its record.
template <class Record>
struct RecordArgument {
    using Value = Record;
    Value convert(PyObject* value, const char* name) const {
        if (Py_TYPE(value) != class_type<Record>()) {
            py::raise_cast_error(value, name, core::RecordTable<Record>::kClass);
        }
        py::SharedAccess access(py::instance<Record>(value).access);
        return py::instance<Record>(value).record;
    }
};

template <class Record>
constexpr py::Param<RecordArgument<Record>> record_argument(const char* name) {
    return {{name}, {}};
}
// The same, or None by default.
template <class Record>
constexpr py::Param<py::kind::OrNone<RecordArgument<Record>>> optional_record_argument(const char* name) {
    return {{name, "None"}, {}};
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

// A plain field attribute: returns field I of the record's table as stored.
template <class Record, std::size_t I>
PyObject* get_field(PyObject* self, void*) {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        constexpr auto field = std::get<I>(core::RecordTable<Record>::kFields);
        return to_python(record_of<Record>(self).*field.member).release();
    });
}

// A copy of the record, for an operation to work on: a call over the channel lets other
// threads run while it waits, and one of them may rename the object meanwhile.
template <class Record>
Record copy_of(PyObject* self) {
    py::SharedAccess access(py::instance<Record>(self).access);
    return record_of<Record>(self);
}

// An acting property, or a method without arguments: runs the operation on the record.
template <class Record, auto Operation>
PyObject* act(PyObject* self, void*) {
    return py::entry([&] {
        Record record = copy_of<Record>(self);
        return answer([&] { return Operation(record); });
    });
}

template <class Record, auto Operation>
PyObject* call_without_arguments(PyObject* self, PyObject*) {
    return act<Record, Operation>(self, nullptr);
}

// A method with parameters: binds and converts every argument first, then runs the
// operation on a copy of the record, with the values in parameter order.
template <class Record, const auto& Sig, auto Operation>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        auto values = py::bind(Sig, args, nargs, kwnames);
        Record record = copy_of<Record>(self);
        return answer(
            [&] { return std::apply([&](const auto&... value) { return Operation(record, value...); }, values); });
    });
}

// A constructor: its parameters are the record's members, in declaration order.
template <class Record, const auto& Sig>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        Record record = std::apply([](auto&&... value) { return Record{std::forward<decltype(value)>(value)...}; },
                                   py::bind(Sig, args, kwargs));
        return py::make_instance(type, std::move(record)).release();
    });
}

// A renaming setter: converts the value, then renames in tmux and in the record.
template <class Record, auto Rename>
int set_by_rename(PyObject* self, PyObject* value, void* param) {
    return py::entry_status([&] {
        if (value == nullptr) {
            PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
            throw py::ErrorAlreadySet{};
        }
        std::string text = py::to_str(value, static_cast<const char*>(param));
        Record record = copy_of<Record>(self);
        Rename(record, text);
        py::ExclusiveAccess access(py::instance<Record>(self).access);
        record_of<Record>(self) = std::move(record);
    });
}

template <class Record>
PyObject* text_form(PyObject* self) {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        return py::new_str(core::text_form(record_of<Record>(self))).release();
    });
}

// Records compare as their table says (core::Compared): by the tmux object they name, or by
// value; objects of two classes are never equal.
template <core::Compared Record>
PyObject* compare(PyObject* self, PyObject* other, int op) {
    return py::entry([&] {
        if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) {
            return py::Ref::new_ref(Py_NotImplemented).release();
        }
        py::SharedAccess mine(py::instance<Record>(self).access);
        py::SharedAccess theirs(py::instance<Record>(other).access);
        bool same = record_of<Record>(self) == record_of<Record>(other);
        return py::new_bool(same == (op == Py_EQ)).release();
    });
}

template <core::Compared Record>
Py_hash_t hash(PyObject* self) noexcept {
    auto result = static_cast<Py_hash_t>(core::hash_value(record_of<Record>(self)));
    return result == -1 ? -2 : result;  // -1 means an error to the interpreter
}

// Whether a record's objects can be dictionary keys: values always; records that name a tmux
// object when the names they are known by cannot change.
template <core::Compared Record>
constexpr bool hashable() {
    if constexpr (core::Identified<Record>) {
        return core::RecordTable<Record>::kHashable;
    } else {
        return true;
    }
}

// vordalin._restore, which pickle and copy call with a class name and the fields.
py::Ref restore_function();

// A field as pickle and copy save it: as its attribute shows it, except that a socket whose
// normalised path differs from its text saves both, so that a copy compares as the original
// whatever the working directory is where it is made.
template <class Value>
py::Ref to_state(const Value& value) {
    return to_python(value);
}

// A socket on a remote host saves (given, normalised or None, host, ssh options).
inline py::Ref to_state(const core::SocketPath& socket) {
    if (const tmux::Remote* remote = socket.remote()) {
        py::Ref resolved = socket.resolved() ? to_python(*socket.resolved()) : py::Ref::new_ref(Py_None);
        return py::Ref::steal(PyTuple_Pack(4, to_python(socket).get(), resolved.get(), to_python(remote->host).get(),
                                           to_python(remote->options).get()));
    }
    if (!socket.resolved()) {
        return to_python(socket);
    }
    return py::Ref::steal(PyTuple_Pack(2, to_python(socket).get(), to_python(*socket.resolved()).get()));
}

// Pickling and copying: a record reduces to vordalin._restore, its class name and its
// fields in the order of its table.
template <class Record>
PyObject* reduce(PyObject* self, PyObject*) {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        const Record& record = record_of<Record>(self);
        constexpr auto& fields = core::RecordTable<Record>::kFields;
        py::Ref values = std::apply(
            [&](const auto&... field) {
                return py::Ref::steal(PyTuple_Pack(1 + sizeof...(field),
                                                   py::new_str(core::RecordTable<Record>::kClass).get(),
                                                   to_state(record.*field.member).get()...));
            },
            fields);
        return py::Ref::steal(PyTuple_Pack(2, restore_function().get(), values.get())).release();
    });
}

// A class's method table with __reduce__ added.
template <class Record>
PyMethodDef* with_reduce(PyMethodDef* methods) {
    static std::vector<PyMethodDef> all = [methods] {
        std::vector<PyMethodDef> table;
        for (PyMethodDef* entry = methods; entry != nullptr && entry->ml_name != nullptr; ++entry) {
            table.push_back(*entry);
        }
        table.push_back({"__reduce__", reduce<Record>, METH_NOARGS, nullptr});
        table.push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }();
    return all.data();
}

// The slot functions CPython's tables want, cast to the generic method type.
template <class Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Docstrings and class names are built once and live for the process.
inline const char* keep_text(std::string text) {
    static std::vector<std::unique_ptr<std::string>> texts;
    texts.push_back(std::make_unique<std::string>(std::move(text)));
    return texts.back()->c_str();
}

template <class... Kinds>
const char* class_doc(const py::Signature<Kinds...>& sig) {
    return keep_text(py::signature_doc(sig.owner, sig.params, "", false));
}

template <class Record, const auto& Sig, auto Operation>
PyMethodDef method(const char* body) {
    return PyMethodDef{Sig.name, as_method(call_method<Record, Sig, Operation>), METH_FASTCALL | METH_KEYWORDS,
                       keep_text(py::signature_doc(Sig.name, Sig.params, body))};
}

template <class Record, auto Operation>
PyMethodDef no_argument_method(const char* name, const char* body) {
    return PyMethodDef{name, call_without_arguments<Record, Operation>, METH_NOARGS,
                       keep_text(py::signature_doc(name, {}, body))};
}

// An assignable field: Rename runs in tmux and then updates the record; `param` names the
// value in conversion errors.
template <auto Member, auto Rename>
struct Renaming {
    const char* param;
};

template <auto Member, auto Rename>
constexpr Renaming<Member, Rename> renamed_by(const char* param) noexcept {
    return {param};
}

// Whether a field of a record's table is the member Member.
template <auto Member, class Field>
constexpr bool is_member(const Field& field) {
    if constexpr (std::is_same_v<decltype(Member), decltype(field.member)>) {
        return field.member == Member;
    } else {
        return false;
    }
}

template <class Record, auto Member, auto Rename, std::size_t... I>
void add_fields(std::vector<PyGetSetDef>& table, const Renaming<Member, Rename>& renaming, std::index_sequence<I...>) {
    constexpr auto& fields = core::RecordTable<Record>::kFields;
    static_assert(std::is_null_pointer_v<decltype(Member)> || (is_member<Member>(std::get<I>(fields)) || ...),
                  "a renamed member must be a field of the record's table");
    (
        [&] {
            constexpr auto field = std::get<I>(fields);
            PyGetSetDef entry{field.name, get_field<Record, I>, nullptr, "", nullptr};
            if constexpr (is_member<Member>(field)) {
                entry.set = set_by_rename<Record, Rename>;
                entry.closure = const_cast<char*>(renaming.param);
            }
            table.push_back(entry);
        }(),
        ...);
}

// The record's socket, for a record whose table has one.
template <class Record>
const core::SocketPath* socket_field(const Record& record) {
    const core::SocketPath* found = nullptr;
    std::apply(
        [&](const auto&... field) {
            (
                [&] {
                    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(record.*field.member)>,
                                                 core::SocketPath>) {
                        found = &(record.*field.member);
                    }
                }(),
                ...);
        },
        core::RecordTable<Record>::kFields);
    return found;
}

template <class Record>
constexpr bool has_socket_field() {
    return std::apply(
        [](const auto&... field) {
            return (
                std::is_same_v<std::remove_cvref_t<decltype(std::declval<Record>().*field.member)>, core::SocketPath> ||
                ...);
        },
        core::RecordTable<Record>::kFields);
}

// The host a record's server is on, or None on this machine.
template <class Record>
PyObject* get_host(PyObject* self, void*) {
    return py::entry([&] {
        py::SharedAccess access(py::instance<Record>(self).access);
        const tmux::Remote* remote = socket_field(record_of<Record>(self))->remote();
        return remote ? to_python(remote->host).release() : py::Ref::new_ref(Py_None).release();
    });
}

// The attribute table of a record's class: a getter for each field of the record's table,
// in its order and with an empty docstring, with the renamed field assignable; a record with a
// socket also shows its host; then the acting properties; then the end marker.
template <class Record, auto Member, auto Rename>
std::vector<PyGetSetDef> attributes(const Renaming<Member, Rename>& renaming,
                                    std::initializer_list<PyGetSetDef> properties) {
    constexpr std::size_t count = std::tuple_size_v<std::remove_cvref_t<decltype(core::RecordTable<Record>::kFields)>>;
    std::vector<PyGetSetDef> table;
    add_fields<Record>(table, renaming, std::make_index_sequence<count>{});
    if constexpr (has_socket_field<Record>()) {
        table.push_back(PyGetSetDef{"host", get_host<Record>, nullptr,
                                    "The host its server is on (over ssh), or None for this machine.", nullptr});
    }
    table.insert(table.end(), properties);
    table.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
    return table;
}

// The same for a class whose fields are all read-only.
template <class Record>
std::vector<PyGetSetDef> attributes(std::initializer_list<PyGetSetDef> properties = {}) {
    return attributes<Record>(Renaming<nullptr, nullptr>{nullptr}, properties);
}

// A class whose instances hold a record: named after the record's table, with the text form
// as repr() and str(). Classes built without a constructor refuse to be called.
template <class Record>
py::TypeSpec record_spec(PyMethodDef* methods, PyGetSetDef* getsets, const char* doc = nullptr,
                         newfunc new_slot = nullptr) {
    py::TypeSpec spec{keep_text(std::string("builtins.") + core::RecordTable<Record>::kClass),
                      sizeof(py::Instance<Record>),
                      doc,
                      new_slot != nullptr,
                      new_slot,
                      py::dealloc<Record>,
                      text_form<Record>,
                      with_reduce<Record>(methods),
                      getsets};
    if constexpr (core::Compared<Record>) {
        spec.compare_slot = compare<Record>;
        if constexpr (hashable<Record>()) {
            spec.hash_slot = hash<Record>;
        }
    }
    return spec;
}

// The same with the constructor that New declares.
template <class Record, const auto& New>
py::TypeSpec record_spec(PyMethodDef* methods, PyGetSetDef* getsets) {
    return record_spec<Record>(methods, getsets, class_doc(New), construct<Record, New>);
}

// A class of values made only by the module: its record's fields as read-only attributes,
// then the given acting properties.
template <class Record>
const py::TypeSpec& value_spec(std::initializer_list<PyGetSetDef> properties = {}) {
    static std::vector<PyGetSetDef> getsets = attributes<Record>(properties);
    static const py::TypeSpec spec = record_spec<Record>(nullptr, getsets.data());
    return spec;
}

// A getset entry for an acting property.
template <class Record, auto Operation>
constexpr PyGetSetDef acting(const char* name, const char* doc) noexcept {
    return PyGetSetDef{name, act<Record, Operation>, nullptr, doc, nullptr};
}

}  // namespace vordalin::api
