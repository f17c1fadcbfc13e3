#include "py/args.hpp"

#include <vector>

#include "py/ref.hpp"

namespace vordalin::py {

namespace {

std::string function_name(const char* owner, const char* name) {
    return std::string(owner) + "." + name + "()";
}

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw ErrorAlreadySet{};
}

// Keyword-only parameters come last, so the positional ones are a prefix.
std::size_t positional_count(std::span<const ParamInfo> params) {
    std::size_t count = 0;
    while (count < params.size() && !params[count].keyword_only) {
        ++count;
    }
    return count;
}

// Checks the number of positional arguments against the parameters that can take them.
void check_positional(const char* owner, const char* name, std::span<const ParamInfo> params, Py_ssize_t given) {
    std::span<const ParamInfo> positional = params.first(positional_count(params));
    if (static_cast<std::size_t>(given) <= positional.size()) {
        return;
    }
    std::size_t required = 0;
    for (const ParamInfo& param : positional) {
        required += param.required() ? 1 : 0;
    }
    std::string message = function_name(owner, name) + " takes ";
    if (required != positional.size()) {
        message += "from " + std::to_string(required) + " to ";
    }
    message += std::to_string(positional.size()) + " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was" : " were") + " given";
    raise_type_error(message);
}

[[noreturn]] void missing_required(const char* owner, const char* name, const std::vector<const char*>& missing) {
    std::string message = function_name(owner, name) + " missing " + std::to_string(missing.size()) +
                          " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i != 0) {
            if (missing.size() > 2) {
                message += ",";
            }
            message += i + 1 == missing.size() ? " and " : " ";
        }
        message += "'" + std::string(missing[i]) + "'";
    }
    raise_type_error(message);
}

// Places one keyword argument, or raises the unexpected/multiple-values error.
void bind_keyword(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject* keyword,
                  PyObject* value, PyObject** out) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (text == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        }
        throw ErrorAlreadySet{};
    }
    std::string_view keyword_text(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (keyword_text == params[i].name) {
            if (out[i] != nullptr) {
                raise_type_error(function_name(owner, name) + " got multiple values for argument '" + params[i].name +
                                 "'");
            }
            out[i] = value;
            return;
        }
    }
    raise_type_error(function_name(owner, name) + " got an unexpected keyword argument '" + std::string(keyword_text) +
                     "'");
}

void check_required(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject** out) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].required() && out[i] == nullptr) {
            missing.push_back(params[i].name);
        }
    }
    if (!missing.empty()) {
        missing_required(owner, name, missing);
    }
}

}  // namespace

void bind_fastcall(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    check_positional(owner, name, params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
    }
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_Size(kwnames);
        for (Py_ssize_t i = 0; i < count; ++i) {
            bind_keyword(owner, name, params, PyTuple_GetItem(kwnames, i), args[nargs + i], out);
        }
    }
    check_required(owner, name, params, out);
}

void bind_tuple(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject* args,
                PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
    check_positional(owner, name, params, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GetItem(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            bind_keyword(owner, name, params, keyword, value, out);
        }
    }
    check_required(owner, name, params, out);
}

std::string signature_doc(const char* name, std::span<const ParamInfo> params, const char* body, bool with_self) {
    std::string doc = std::string(name) + "(";
    bool first = true;
    if (with_self) {
        doc += "$self";
        first = false;
    }
    bool keywords_only = false;
    for (const ParamInfo& param : params) {
        if (!first) {
            doc += ", ";
        }
        first = false;
        if (param.keyword_only && !keywords_only) {
            doc += "*, ";
            keywords_only = true;
        }
        doc += param.name;
        if (!param.required()) {
            doc += "=";
            doc += param.default_text;
        }
    }
    doc += ")\n--\n\n";
    doc += body;
    return doc;
}

}  // namespace vordalin::py
