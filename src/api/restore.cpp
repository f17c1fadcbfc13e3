// Pickle and copy: every record class reduces to vordalin._restore, its class name and its
// fields; _restore builds the record again, checking each field as an argument is checked.
#include "api/common.hpp"
#include "core/server.hpp"

namespace vordalin::api {

namespace {

template <class Value>
Value from_python(PyObject* value, const char* name);

template <>
std::string from_python(PyObject* value, const char* name) {
    return py::to_str(value, name);
}

template <>
bool from_python(PyObject* value, const char* name) {
    return py::to_bool(value, name);
}

template <>
std::uint32_t from_python(PyObject* value, const char* name) {
    return py::to_u32(value, name);
}

template <>
std::uint64_t from_python(PyObject* value, const char*) {
    unsigned long long number = PyLong_AsUnsignedLongLong(value);
    if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        throw py::ErrorAlreadySet{};
    }
    return number;
}

template <>
int from_python(PyObject* value, const char*) {
    int overflow = 0;
    long number = PyLong_AsLongAndOverflow(value, &overflow);
    if ((number == -1 && PyErr_Occurred() != nullptr)) {
        throw py::ErrorAlreadySet{};
    }
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw py::ErrorAlreadySet{};
    }
    return static_cast<int>(number);
}

template <class Value>
std::optional<Value> optional_from_python(PyObject* value, const char* name) {
    if (value == Py_None) {
        return std::nullopt;
    }
    return from_python<Value>(value, name);
}

template <class Value>
void assign(Value& member, PyObject* value, const char* name) {
    member = from_python<Value>(value, name);
}

// A list of records: each item must be an object of the record's class.
template <class Record>
void assign(std::vector<Record>& member, PyObject* value, const char* name) {
    if (!PyList_Check(value)) {
        std::string message = "argument '" + std::string(name) + "': a list is needed";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw py::ErrorAlreadySet{};
    }
    PyTypeObject* type = class_type<Record>();
    member.clear();
    for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
        PyObject* item = PyList_GetItem(value, i);
        if (Py_TYPE(item) != type) {
            std::string message =
                "argument '" + std::string(name) + "': items must be " + core::RecordTable<Record>::kClass;
            PyErr_SetString(PyExc_TypeError, message.c_str());
            throw py::ErrorAlreadySet{};
        }
        py::SharedAccess access(py::instance<Record>(item).access);
        member.push_back(record_of<Record>(item));
    }
}

template <class Value>
void assign(std::optional<Value>& member, PyObject* value, const char* name) {
    member = optional_from_python<Value>(value, name);
}

// A socket as given, or saved with its normalised path as (given, normalised), or on a remote
// host as (given, normalised or None, host, ssh options).
void assign(core::SocketPath& member, PyObject* value, const char* name) {
    if (PyTuple_Check(value) && PyTuple_Size(value) == 4) {
        core::SocketPath made = core::server_socket(optional_from_python<std::string>(PyTuple_GetItem(value, 0), name),
                                                    from_python<std::string>(PyTuple_GetItem(value, 2), name),
                                                    py::to_text_sequence(PyTuple_GetItem(value, 3), name));
        member = core::SocketPath::restored(made.given(),
                                            optional_from_python<std::string>(PyTuple_GetItem(value, 1), name));
        return;
    }
    if (PyTuple_Check(value) && PyTuple_Size(value) == 2) {
        member = core::SocketPath::restored(optional_from_python<std::string>(PyTuple_GetItem(value, 0), name),
                                            from_python<std::string>(PyTuple_GetItem(value, 1), name));
        return;
    }
    member = optional_from_python<std::string>(value, name);
}

template <class Record>
PyObject* restore_record(PyObject* const* values, Py_ssize_t count) {
    constexpr auto& fields = core::RecordTable<Record>::kFields;
    constexpr std::size_t expected = std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>;
    if (static_cast<std::size_t>(count) != expected) {
        std::string message = std::string("_restore() takes ") + std::to_string(expected) + " fields of " +
                              core::RecordTable<Record>::kClass + ", not " + std::to_string(count);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw py::ErrorAlreadySet{};
    }
    Record record{};
    std::size_t at = 0;
    std::apply([&](const auto&... field) { (assign(record.*field.member, values[at++], field.name), ...); }, fields);
    return py::make_instance(class_type<Record>(), std::move(record)).release();
}

template <class... Records>
PyObject* restore_named(std::string_view name, PyObject* const* values, Py_ssize_t count) {
    PyObject* made = nullptr;
    bool found =
        ((name == core::RecordTable<Records>::kClass ? (made = restore_record<Records>(values, count), true) : false) ||
         ...);
    if (!found) {
        std::string message = "_restore() knows no class " + std::string(name);
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw py::ErrorAlreadySet{};
    }
    return made;
}

}  // namespace

py::Ref restore_function() {
    py::Ref module = py::Ref::steal(PyImport_ImportModule("vordalin"));
    return py::Ref::steal(PyObject_GetAttrString(module.get(), "_restore"));
}

PyObject* restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return py::entry([&] {
        if (nargs < 1) {
            PyErr_SetString(PyExc_TypeError, "_restore() needs a class name");
            throw py::ErrorAlreadySet{};
        }
        std::string name = py::to_str(args[0], "name");
        return restore_named<core::ServerRecord, core::SessionRecord, core::WindowRecord, core::PaneRecord,
                             core::SessionMetadata, core::WindowMetadata, core::LastCommandRecord, core::CommandResult,
                             core::Snapshot, core::WindowInfo, core::PaneInfo, core::OptionsRecord, core::HooksRecord,
                             core::EnvironmentRecord, core::ClientInfo, core::PaneMark, core::RunResult>(name, args + 1,
                                                                                                         nargs - 1);
    });
}

}  // namespace vordalin::api
