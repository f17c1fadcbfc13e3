#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "py/python.hpp"
#include "py/ref.hpp"

namespace vordalin::py {

// The TypeError "argument '<param>': '<type>' object cannot be cast as '<expected>'".
[[noreturn]] void raise_cast_error(PyObject* value, const char* param, const char* expected);

// Argument conversions. Each throws ErrorAlreadySet with the Python error set; a TypeError
// is reported as "argument '<param>': <reason>".
std::string to_str(PyObject* value, const char* param);
bool to_bool(PyObject* value, const char* param);
// An integer index in 0..4294967295, read through the interpreter's C long conversion.
std::uint32_t to_u32(PyObject* value, const char* param);

// An integer in 1..4294967295: ValueError for 0 and below, OverflowError above.
std::uint32_t to_positive(PyObject* value, const char* param);
// A float or an int, at least zero (or above zero); ValueError otherwise, NaN included.
double to_seconds(PyObject* value, const char* param, bool zero_allowed);
// An iterable of str (but no str or bytes itself, whose items are characters), as its items.
std::vector<std::string> to_text_sequence(PyObject* value, const char* param);
// A mapping of str to str, as its items in iteration order.
std::vector<std::pair<std::string, std::string>> to_text_mapping(PyObject* value, const char* param);

// What to look for in text: a str, as a substring, or a compiled re.Pattern of str, searched.
struct SearchPattern {
    Ref object;        // as given, for messages
    std::string text;  // the str's UTF-8; empty for a compiled pattern
    bool compiled = false;
};
SearchPattern to_search_pattern(PyObject* value, const char* param);

// Result builders; each returns a new reference or throws ErrorAlreadySet.
Ref new_str(std::string_view text);
// The str of bytes that may not be valid UTF-8: each maximal ill-formed subsequence becomes
// U+FFFD, as the module's own decoding does.
Ref new_str_lossy(std::string_view bytes);
Ref new_optional_str(const std::optional<std::string>& text);
Ref new_bool(bool value);
Ref new_int(std::uint64_t value);
Ref new_optional_int(const std::optional<std::uint32_t>& value);
Ref new_list(std::size_t size);
// Puts item into slot index of a new list, taking over the reference.
void list_set(const Ref& list, std::size_t index, Ref item);

}  // namespace vordalin::py
