#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "py/python.hpp"

namespace vordalin::py {

// One parameter of a constructor or method: its name and, for an optional one, the
// default as shown in the signature ("None", "False").
struct Param {
    const char* name;
    const char* default_text = nullptr;

    constexpr bool required() const noexcept { return default_text == nullptr; }
};

// A callable's parameter table. The same table gives the signature line of its docstring
// and the wording of its TypeErrors, which name it "<owner>.<name>()".
template <std::size_t N>
struct Signature {
    const char* owner;
    const char* name;
    std::array<Param, N> params;
};

// Borrowed argument values in parameter order; nullptr where an optional one was omitted.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

// The binding rules shared by both calling conventions; `out` has one slot per parameter.
void bind_fastcall(const char* owner, const char* name, std::span<const Param> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
void bind_tuple(const char* owner, const char* name, std::span<const Param> params, PyObject* args,
                PyObject* kwargs, PyObject** out);

template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> out{};
    bind_fastcall(sig.owner, sig.name, sig.params, args, nargs, kwnames, out.data());
    return out;
}

template <std::size_t N>
Bound<N> bind(const Signature<N>& sig, PyObject* args, PyObject* kwargs) {
    Bound<N> out{};
    bind_tuple(sig.owner, sig.name, sig.params, args, kwargs, out.data());
    return out;
}

// "name($self, a, b=False)\n--\n\n" + body; for a class ("Server(socket=None)\n--\n\n")
// pass with_self = false and an empty body.
std::string signature_doc(const char* name, std::span<const Param> params, const char* body, bool with_self = true);

}  // namespace vordalin::py
