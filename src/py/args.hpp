#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "py/convert.hpp"
#include "py/python.hpp"

namespace vordalin::py {

// What the binder and the signature line need of a parameter: its name, its default as the
// signature shows it ("None", "False"; nullptr for a required one), and whether it can only
// be passed by keyword.
struct ParamInfo {
    const char* name;
    const char* default_text = nullptr;
    bool keyword_only = false;

    constexpr bool required() const noexcept { return default_text == nullptr; }
};

// Parameter kinds. A kind names the C++ type it yields and converts one argument to it;
// `value` is nullptr when the caller omitted the parameter, which only a parameter with a
// default allows. A new kind is a struct like these and a factory below.
namespace kind {

struct Text {
    using Value = std::string;
    Value convert(PyObject* value, const char* name) const { return to_str(value, name); }
};

struct Flag {
    using Value = bool;
    bool fallback;
    Value convert(PyObject* value, const char* name) const {
        return value == nullptr ? fallback : to_bool(value, name);
    }
};

struct U32 {
    using Value = std::uint32_t;
    Value convert(PyObject* value, const char* name) const { return to_u32(value, name); }
};

struct Positive {
    using Value = std::uint32_t;
    Value convert(PyObject* value, const char* name) const { return to_positive(value, name); }
};

struct TextMapping {
    using Value = std::vector<std::pair<std::string, std::string>>;
    Value convert(PyObject* value, const char* name) const { return to_text_mapping(value, name); }
};

// An iterable of str, empty by default.
struct TextSequence {
    using Value = std::vector<std::string>;
    Value convert(PyObject* value, const char* name) const {
        return value == nullptr ? Value{} : to_text_sequence(value, name);
    }
};

struct Pattern {
    using Value = SearchPattern;
    Value convert(PyObject* value, const char* name) const { return to_search_pattern(value, name); }
};

// Seconds above zero, with a default.
struct Interval {
    using Value = double;
    double fallback;
    Value convert(PyObject* value, const char* name) const {
        return value == nullptr ? fallback : to_seconds(value, name, false);
    }
};

// Seconds from zero up, with a default; None for no limit.
struct Timeout {
    using Value = std::optional<double>;
    double fallback;
    Value convert(PyObject* value, const char* name) const {
        if (value == nullptr) {
            return fallback;
        }
        if (value == Py_None) {
            return std::nullopt;
        }
        return to_seconds(value, name, true);
    }
};

// The inner kind, or absent for None (and when omitted).
template <class Kind>
struct OrNone {
    using Value = std::optional<typename Kind::Value>;
    Kind inner{};
    Value convert(PyObject* value, const char* name) const {
        if (value == nullptr || value == Py_None) {
            return std::nullopt;
        }
        return inner.convert(value, name);
    }
};

}  // namespace kind

template <class Kind>
struct Param {
    ParamInfo info;
    Kind kind;
};

// A str.
constexpr Param<kind::Text> text(const char* name) {
    return {{name}, {}};
}
// A str or None, which must still be passed.
constexpr Param<kind::OrNone<kind::Text>> text_or_none(const char* name) {
    return {{name}, {}};
}
// A str, or None by default.
constexpr Param<kind::OrNone<kind::Text>> optional_text(const char* name) {
    return {{name, "None"}, {}};
}
// True or False, with a default.
constexpr Param<kind::Flag> flag(const char* name, bool fallback) {
    return {{name, fallback ? "True" : "False"}, {fallback}};
}
// An integer in 0..4294967295.
constexpr Param<kind::U32> u32(const char* name) {
    return {{name}, {}};
}
// An integer in 0..4294967295, or None by default.
constexpr Param<kind::OrNone<kind::U32>> optional_u32(const char* name) {
    return {{name, "None"}, {}};
}

// An integer in 1..4294967295, or None by default.
constexpr Param<kind::OrNone<kind::Positive>> optional_positive(const char* name) {
    return {{name, "None"}, {}};
}
// A mapping of str to str, or None by default.
constexpr Param<kind::OrNone<kind::TextMapping>> optional_text_mapping(const char* name) {
    return {{name, "None"}, {}};
}

// A sequence of str, empty by default (shown as "()").
constexpr Param<kind::TextSequence> text_sequence(const char* name) {
    return {{name, "()"}, {}};
}

// A str or a compiled re.Pattern of str.
constexpr Param<kind::Pattern> pattern(const char* name) {
    return {{name}, {}};
}
// A duration in seconds above zero; `shown` is the default as the signature writes it.
constexpr Param<kind::Interval> interval(const char* name, const char* shown, double fallback) {
    return {{name, shown}, {fallback}};
}
// A duration in seconds from zero up, or None for no limit.
constexpr Param<kind::Timeout> timeout(const char* name, const char* shown, double fallback) {
    return {{name, shown}, {fallback}};
}

template <class Kind>
constexpr Param<Kind> keyword_only(Param<Kind> param) {
    param.info.keyword_only = true;
    return param;
}

// A callable's declaration. TypeErrors name it "<owner>.<name>()"; the parameters give the
// binding rules, the converted values and the signature line of its docstring.
template <class... Kinds>
struct Signature {
    const char* owner;
    const char* name;
    std::array<ParamInfo, sizeof...(Kinds)> params;
    std::tuple<Kinds...> kinds;
};

template <class... Kinds>
constexpr Signature<Kinds...> signature(const char* owner, const char* name, Param<Kinds>... params) {
    Signature<Kinds...> sig{owner, name, {params.info...}, {params.kind...}};
    bool keywords_only = false;
    for (const ParamInfo& param : sig.params) {
        if (keywords_only && !param.keyword_only) {
            throw "keyword-only parameters come last";  // fails the build: declarations are constexpr
        }
        keywords_only = param.keyword_only;
    }
    return sig;
}

// The converted arguments, in parameter order.
template <class... Kinds>
using Values = std::tuple<typename Kinds::Value...>;

// The binding rules shared by both calling conventions; `out` has one slot per parameter
// and holds borrowed values, nullptr where an optional one was omitted.
void bind_fastcall(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
void bind_tuple(const char* owner, const char* name, std::span<const ParamInfo> params, PyObject* args,
                PyObject* kwargs, PyObject** out);

template <class... Kinds, std::size_t... I>
Values<Kinds...> convert_all(const Signature<Kinds...>& sig, const std::array<PyObject*, sizeof...(Kinds)>& given,
                             std::index_sequence<I...>) {
    // Braced initialisation runs left to right, so the first argument that fails is reported.
    return Values<Kinds...>{std::get<I>(sig.kinds).convert(given[I], sig.params[I].name)...};
}

// Binds the arguments of a call and converts them all before anything runs.
template <class... Kinds>
Values<Kinds...> bind(const Signature<Kinds...>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, sizeof...(Kinds)> given{};
    bind_fastcall(sig.owner, sig.name, sig.params, args, nargs, kwnames, given.data());
    return convert_all(sig, given, std::index_sequence_for<Kinds...>{});
}

template <class... Kinds>
Values<Kinds...> bind(const Signature<Kinds...>& sig, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, sizeof...(Kinds)> given{};
    bind_tuple(sig.owner, sig.name, sig.params, args, kwargs, given.data());
    return convert_all(sig, given, std::index_sequence_for<Kinds...>{});
}

// "name($self, a, b=False, *, c=None)\n--\n\n" + body; for a class
// ("Server(socket=None)\n--\n\n") pass with_self = false and an empty body.
std::string signature_doc(const char* name, std::span<const ParamInfo> params, const char* body, bool with_self = true);

}  // namespace vordalin::py
