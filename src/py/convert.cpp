#include "py/convert.hpp"

namespace vordalin::py {

namespace {

constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;

// The type's __name__ and __module__, as text; empty when they cannot be read.
std::string type_attribute(PyObject* value, const char* attribute) {
    Ref type = Ref::new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyObject* text = PyObject_GetAttrString(type.get(), attribute);
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    Ref owned = Ref::steal(text);
    if (!PyUnicode_Check(owned.get())) {
        return {};
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(owned.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// Rewrites a pending TypeError as "argument '<param>': <message>", chaining the original.
[[noreturn]] void rethrow_with_param(const char* param) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        throw ErrorAlreadySet{};
    }
    PyObject* type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &raw_value, &traceback);
    PyErr_NormalizeException(&type, &raw_value, &traceback);
    Ref type_ref = Ref::new_ref(type);
    Py_XDECREF(type);
    Ref original = Ref::new_ref(raw_value);
    Py_XDECREF(raw_value);
    Ref trace = Ref::new_ref(traceback);
    Py_XDECREF(traceback);
    if (original && trace) {
        PyException_SetTraceback(original.get(), trace.get());
    }
    Ref text = Ref::steal(PyObject_Str(original.get()));
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    Ref wrapped = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    // SetCause steals the cause reference.
    PyException_SetCause(wrapped.get(), original.release());
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
    throw ErrorAlreadySet{};
}

bool is_numpy_bool(PyObject* value) {
    if (type_attribute(value, "__module__") != "numpy") {
        return false;
    }
    std::string name = type_attribute(value, "__name__");
    return name == "bool_" || name == "bool";
}

}  // namespace

void raise_cast_error(PyObject* value, const char* param, const char* expected) {
    std::string message = "argument '" + std::string(param) + "': '" + type_attribute(value, "__name__") +
                          "' object cannot be cast as '" + expected + "'";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw ErrorAlreadySet{};
}

std::string to_str(PyObject* value, const char* param) {
    if (!PyUnicode_Check(value)) {
        raise_cast_error(value, param, "str");
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) {
        throw ErrorAlreadySet{};  // lone surrogates: the UnicodeEncodeError goes out unchanged
    }
    return std::string(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* value, const char* param) {
    if (value == Py_True) {
        return true;
    }
    if (value == Py_False) {
        return false;
    }
    if (is_numpy_bool(value)) {
        int truth = PyObject_IsTrue(value);
        if (truth < 0) {
            rethrow_with_param(param);
        }
        return truth == 1;
    }
    raise_cast_error(value, param, "bool");
}

namespace {

// The value's integer, asked for once (__index__ may have effects, or answer differently twice).
long index_of(PyObject* value, const char* param) {
    long number = PyLong_AsLong(value);
    if (number == -1 && PyErr_Occurred() != nullptr) {
        rethrow_with_param(param);
    }
    return number;
}

std::uint32_t within_u32(long number) {
    if (number < 0 || static_cast<unsigned long>(number) > kMaxU32) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw ErrorAlreadySet{};
    }
    return static_cast<std::uint32_t>(number);
}

}  // namespace

std::uint32_t to_u32(PyObject* value, const char* param) {
    return within_u32(index_of(value, param));
}

std::uint32_t to_positive(PyObject* value, const char* param) {
    long number = index_of(value, param);
    if (number <= 0) {
        std::string message = "argument '" + std::string(param) + "': must be positive, not " + std::to_string(number);
        PyErr_SetString(PyExc_ValueError, message.c_str());
        throw ErrorAlreadySet{};
    }
    return within_u32(number);
}

double to_seconds(PyObject* value, const char* param, bool zero_allowed) {
    if (!PyFloat_Check(value) && !PyLong_Check(value)) {
        raise_cast_error(value, param, "float");
    }
    double seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
        rethrow_with_param(param);
    }
    // Written so that NaN fails too.
    if (!(zero_allowed ? seconds >= 0.0 : seconds > 0.0)) {
        Ref shown = Ref::steal(PyObject_Repr(value));
        Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': must be %s, not %U", param,
                                                      zero_allowed ? "zero or more" : "positive", shown.get()));
        PyErr_SetObject(PyExc_ValueError, message.get());
        throw ErrorAlreadySet{};
    }
    return seconds;
}

std::vector<std::string> to_text_sequence(PyObject* value, const char* param) {
    if (PyUnicode_Check(value) || PyBytes_Check(value)) {
        raise_cast_error(value, param, "Sequence[str]");
    }
    PyObject* raw_items = PyObject_GetIter(value);
    if (raw_items == nullptr) {
        PyErr_Clear();
        raise_cast_error(value, param, "Sequence[str]");
    }
    Ref items = Ref::steal(raw_items);
    std::vector<std::string> texts;
    while (PyObject* raw_item = PyIter_Next(items.get())) {
        Ref item = Ref::steal(raw_item);
        texts.push_back(to_str(item.get(), param));
    }
    if (PyErr_Occurred() != nullptr) {
        throw ErrorAlreadySet{};
    }
    return texts;
}

std::vector<std::pair<std::string, std::string>> to_text_mapping(PyObject* value, const char* param) {
    if (!PyDict_Check(value) && PyObject_HasAttrString(value, "items") == 0) {
        raise_cast_error(value, param, "Mapping[str, str]");
    }
    Ref items = Ref::steal(PyMapping_Items(value));
    Py_ssize_t count = PyList_Size(items.get());
    std::vector<std::pair<std::string, std::string>> pairs;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items.get(), i);
        if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
            raise_cast_error(value, param, "Mapping[str, str]");
        }
        pairs.emplace_back(to_str(PyTuple_GetItem(item, 0), param), to_str(PyTuple_GetItem(item, 1), param));
    }
    return pairs;
}

SearchPattern to_search_pattern(PyObject* value, const char* param) {
    if (PyUnicode_Check(value)) {
        return SearchPattern{Ref::new_ref(value), to_str(value, param), false};
    }
    Ref re = Ref::steal(PyImport_ImportModule("re"));
    Ref pattern_type = Ref::steal(PyObject_GetAttrString(re.get(), "Pattern"));
    int is_pattern = PyObject_IsInstance(value, pattern_type.get());
    if (is_pattern < 0) {
        throw ErrorAlreadySet{};
    }
    if (is_pattern == 0) {
        raise_cast_error(value, param, "str | re.Pattern[str]");
    }
    Ref source = Ref::steal(PyObject_GetAttrString(value, "pattern"));
    if (!PyUnicode_Check(source.get())) {
        std::string message = "argument '" + std::string(param) + "': a bytes pattern cannot search text";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        throw ErrorAlreadySet{};
    }
    return SearchPattern{Ref::new_ref(value), {}, true};
}

Ref new_str(std::string_view text) {
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref new_str_lossy(std::string_view bytes) {
    return Ref::steal(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

Ref new_optional_str(const std::optional<std::string>& text) {
    if (!text) {
        return Ref::new_ref(Py_None);
    }
    return new_str(*text);
}

Ref new_bool(bool value) {
    return Ref::new_ref(value ? Py_True : Py_False);
}

Ref new_int(std::uint64_t value) {
    return Ref::steal(PyLong_FromUnsignedLongLong(value));
}

Ref new_optional_int(const std::optional<std::uint32_t>& value) {
    if (!value) {
        return Ref::new_ref(Py_None);
    }
    return new_int(*value);
}

Ref new_list(std::size_t size) {
    return Ref::steal(PyList_New(static_cast<Py_ssize_t>(size)));
}

void list_set(const Ref& list, std::size_t index, Ref item) {
    // PyList_SetItem steals the item reference, even on failure.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item.release()) != 0) {
        throw ErrorAlreadySet{};
    }
}

}  // namespace vordalin::py
