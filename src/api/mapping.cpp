// Options, Hooks and Environment: mutable mappings that ask tmux on every access. Each is
// registered as a collections.abc.MutableMapping; the methods that class builds on the five
// primitives (get, keys, items, pop, update, ...) are its own, called with the object.
#include "api/common.hpp"
#include "core/environment.hpp"
#include "core/options.hpp"

namespace vordalin::api {

namespace {

// What each mapping reads, sets, unsets and lists, and how its values convert.
template <class Record>
struct Store;

template <>
struct Store<core::OptionsRecord> {
    static constexpr auto read = core::read_option;
    static constexpr auto set = core::set_option;
    static constexpr auto unset = core::unset_option;
    static constexpr auto names = core::option_names;
    static constexpr const char* kDoc =
        "The options set at one scope, as a mutable mapping that asks tmux on every access.\n\n"
        "Reading gives the value set at exactly this scope (no inheritance): a bool for a flag, an\n"
        "int for a number, a list of str for an array option, a str for everything else (choices,\n"
        "colours, styles, user options \"@name\"). A name not set here, or unknown, is a KeyError.\n"
        "Assigning sets the option here (a list replaces an array); tmux's refusal is a ValueError\n"
        "with tmux's text. del unsets it here, so the inherited value shows again (at a global\n"
        "scope tmux's default comes back).";

    static core::OptionValue from_python(PyObject* value) {
        if (PyBool_Check(value)) {
            return value == Py_True;
        }
        if (PyLong_Check(value)) {
            long long number = PyLong_AsLongLong(value);
            if (number == -1 && PyErr_Occurred() != nullptr) {
                throw py::ErrorAlreadySet{};
            }
            return static_cast<std::int64_t>(number);
        }
        if (PyUnicode_Check(value)) {
            return py::to_str(value, "value");
        }
        if (PyList_Check(value) || PyTuple_Check(value)) {
            std::vector<std::string> elements;
            py::Ref items = py::Ref::steal(PySequence_List(value));
            for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
                elements.push_back(py::to_str(PyList_GetItem(items.get(), i), "value"));
            }
            return elements;
        }
        py::raise_cast_error(value, "value", "bool | int | str | list[str]");
    }

    static py::Ref to_python(const core::OptionValue& value) {
        return std::visit(
            [](const auto& held) -> py::Ref {
                using Held = std::decay_t<decltype(held)>;
                if constexpr (std::is_same_v<Held, std::int64_t>) {
                    return py::Ref::steal(PyLong_FromLongLong(held));
                } else {
                    return api::to_python(held);
                }
            },
            value);
    }
};

// The text values of hooks and variables.
struct TextValues {
    static std::string from_python(PyObject* value) { return py::to_str(value, "value"); }
    static py::Ref to_python(const std::string& value) { return py::new_str(value); }
};

template <>
struct Store<core::HooksRecord> : TextValues {
    static constexpr auto read = core::read_hook;
    static constexpr auto set = core::set_hook;
    static constexpr auto unset = core::unset_hook;
    static constexpr auto names = core::hook_names;
    static constexpr const char* kDoc =
        "The hooks set at one scope, as a mutable mapping of \"name[N]\" to the tmux command it runs.\n\n"
        "Every set hook is an array in tmux: the keys are \"name[N]\" for the set entries only. A plain\n"
        "name reads and sets index 0, and del of a plain name unsets every index. A hook's command is\n"
        "tmux's command language by design, and reads back in tmux's normal form (\"display a\" as\n"
        "\"display-message a\"). A command tmux cannot parse, or a hook it does not know here, is a\n"
        "ValueError.";
};

template <>
struct Store<core::EnvironmentRecord> : TextValues {
    static constexpr auto read = core::read_variable;
    static constexpr auto set = core::set_variable;
    static constexpr auto unset = core::unset_variable;
    static constexpr auto names = core::variable_names;
    static constexpr const char* kDoc =
        "The environment tmux gives new programs (global, or a session's), as a mutable mapping\n"
        "of str to str that asks tmux on every access. Names and values are stored exactly; a\n"
        "variable marked removed (\"-NAME\") reads as missing, and del removes the variable.";
};

// A key that is no str names nothing a mapping holds.
std::optional<std::string> key_text(PyObject* key) {
    if (!PyUnicode_Check(key)) {
        return std::nullopt;
    }
    return py::to_str(key, "key");
}

[[noreturn]] void raise_missing(PyObject* key) {
    PyErr_SetObject(PyExc_KeyError, key);
    throw py::ErrorAlreadySet{};
}

template <class Record>
Py_ssize_t length(PyObject* self) {
    Py_ssize_t size = -1;
    py::entry_status([&] { size = static_cast<Py_ssize_t>(Store<Record>::names(copy_of<Record>(self)).size()); });
    return size;
}

template <class Record>
PyObject* subscript(PyObject* self, PyObject* key) {
    return py::entry([&] {
        std::optional<std::string> name = key_text(key);
        if (!name) {
            raise_missing(key);
        }
        return Store<Record>::to_python(Store<Record>::read(copy_of<Record>(self), *name)).release();
    });
}

template <class Record>
int assign(PyObject* self, PyObject* key, PyObject* value) {
    return py::entry_status([&] {
        if (value == nullptr) {
            std::optional<std::string> name = key_text(key);
            if (!name) {
                raise_missing(key);
            }
            Store<Record>::unset(copy_of<Record>(self), *name);
            return;
        }
        std::string name = py::to_str(key, "key");
        Store<Record>::set(copy_of<Record>(self), name, Store<Record>::from_python(value));
    });
}

template <class Record>
int contains(PyObject* self, PyObject* key) {
    int found = -1;
    py::entry_status([&] {
        std::optional<std::string> name = key_text(key);
        found = 0;
        if (!name) {
            return;
        }
        try {
            Store<Record>::read(copy_of<Record>(self), *name);
            found = 1;
        } catch (const core::Error& error) {
            if (error.kind() != core::Error::Kind::kKey) {
                found = -1;
                throw;
            }
        }
    });
    return found;
}

template <class Record>
PyObject* iterate(PyObject* self) {
    return py::entry([&] {
        py::Ref names = to_python(Store<Record>::names(copy_of<Record>(self)));
        return PyObject_GetIter(names.get());
    });
}

// clear() takes one listing and unsets what it names: at a global scope an unset option
// comes back with its default, so a loop until the mapping is empty would never end.
template <class Record>
PyObject* clear(PyObject* self, PyObject*) {
    return py::entry([&] {
        Record record = copy_of<Record>(self);
        for (const std::string& name : Store<Record>::names(record)) {
            try {
                Store<Record>::unset(record, name);
            } catch (const core::Error& error) {
                if (error.kind() != core::Error::Kind::kKey) {
                    throw;
                }
            }
        }
        return py::Ref::new_ref(Py_None).release();
    });
}

// A method of collections.abc.MutableMapping, called with this object.
template <const char* Name>
PyObject* mixin(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::entry([&] {
        static PyObject* method = [] {
            py::Ref abcs = py::Ref::steal(PyImport_ImportModule("collections.abc"));
            py::Ref mapping = py::Ref::steal(PyObject_GetAttrString(abcs.get(), "MutableMapping"));
            return py::Ref::steal(PyObject_GetAttrString(mapping.get(), Name)).release();
        }();
        Py_ssize_t count = PyTuple_Size(args);
        py::Ref bound = py::Ref::steal(PyTuple_New(count + 1));
        PyTuple_SetItem(bound.get(), 0, py::Ref::new_ref(self).release());
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyTuple_SetItem(bound.get(), i + 1, py::Ref::new_ref(PyTuple_GetItem(args, i)).release());
        }
        return PyObject_Call(method, bound.get(), kwargs);
    });
}

constexpr char kGet[] = "get";
constexpr char kKeys[] = "keys";
constexpr char kItems[] = "items";
constexpr char kValues[] = "values";
constexpr char kPop[] = "pop";
constexpr char kPopItem[] = "popitem";
constexpr char kUpdate[] = "update";
constexpr char kSetDefault[] = "setdefault";

template <const char* Name>
PyMethodDef mixin_method(const char* doc) {
    return PyMethodDef{Name, as_method(mixin<Name>), METH_VARARGS | METH_KEYWORDS, doc};
}

template <class Record>
const py::TypeSpec& mapping_spec() {
    static PyMethodDef methods[] = {
        mixin_method<kGet>("get(key, default=None): the value, or default when the key is missing."),
        mixin_method<kKeys>("keys(): a view of the names, listed anew on each use."),
        mixin_method<kItems>("items(): a view of (name, value) pairs, read anew on each use."),
        mixin_method<kValues>("values(): a view of the values, read anew on each use."),
        mixin_method<kPop>("pop(key[, default]): unset the key and return its value."),
        mixin_method<kPopItem>("popitem(): unset some key and return it with its value."),
        mixin_method<kUpdate>("update(other=(), /, **values): set every pair given."),
        mixin_method<kSetDefault>("setdefault(key, default=None): the value, set to default first when missing."),
        {"clear", clear<Record>, METH_NOARGS, "clear(): unset every key listed now."},
        {nullptr, nullptr, 0, nullptr},
    };
    static std::vector<PyGetSetDef> getsets = attributes<Record>();
    static const py::TypeSpec spec = [] {
        py::TypeSpec made = record_spec<Record>(methods, getsets.data(), Store<Record>::kDoc);
        made.extra_slots = {
            {Py_mp_length, reinterpret_cast<void*>(length<Record>)},
            {Py_mp_subscript, reinterpret_cast<void*>(subscript<Record>)},
            {Py_mp_ass_subscript, reinterpret_cast<void*>(assign<Record>)},
            {Py_sq_contains, reinterpret_cast<void*>(contains<Record>)},
            {Py_tp_iter, reinterpret_cast<void*>(iterate<Record>)},
        };
        made.abc = "MutableMapping";
        return made;
    }();
    return spec;
}

}  // namespace

const py::TypeSpec& class_spec(std::type_identity<core::OptionsRecord>) {
    return mapping_spec<core::OptionsRecord>();
}

const py::TypeSpec& class_spec(std::type_identity<core::HooksRecord>) {
    return mapping_spec<core::HooksRecord>();
}

const py::TypeSpec& class_spec(std::type_identity<core::EnvironmentRecord>) {
    return mapping_spec<core::EnvironmentRecord>();
}

const py::TypeSpec& class_spec(std::type_identity<core::ClientInfo>) {
    return value_spec<core::ClientInfo>();
}

}  // namespace vordalin::api
