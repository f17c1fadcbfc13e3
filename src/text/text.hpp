// Text helpers shared by every tmux operation: decoding captured bytes, trimming,
// splitting, reading numbers and quoting values for repr(). No Python, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vordalin::text {

// Lossy UTF-8: well-formed input is kept as is; each maximal ill-formed subsequence
// (the Unicode Standard's "maximal subpart" practice, as Python's
// bytes.decode("utf-8", "replace")) becomes one U+FFFD. Surrogates encoded in UTF-8
// and overlong forms are ill-formed.
bool is_utf8(std::string_view bytes) noexcept;
// Valid input comes back as the same buffer, moved, without a copy.
std::string decode_lossy(std::string&& bytes);
std::string decode_lossy(std::string_view bytes);

// Trim characters with the Unicode White_Space property only: U+0009..U+000D, U+0020,
// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
// Unlike Python's str.strip(), U+001C..U+001F are kept. Input is valid UTF-8.
std::string_view trim(std::string_view s) noexcept;
std::string_view trim_start(std::string_view s) noexcept;
std::string_view trim_end(std::string_view s) noexcept;
// True when trim(s) is empty.
bool is_blank(std::string_view s) noexcept;

// Cuts after each "\n", dropping it and a "\r" right before it. A last line without
// "\n" counts, a final "\n" adds no empty line, and empty text has no lines.
std::vector<std::string_view> split_lines(std::string_view s);
// The text without one final "\n" (and a "\r" right before it), as split_lines drops it.
std::string_view without_line_end(std::string_view s) noexcept;
// Every separator splits, so n separators give n + 1 fields: "" -> {""}, "a|" -> {"a", ""}.
std::vector<std::string_view> split_fields(std::string_view s, char sep);
// At most max_pieces pieces (0 counts as 1); the last one holds the rest, further separators
// included. "" gives {""}: one empty piece, which callers treat like a missing one.
std::vector<std::string_view> split_at_most(std::string_view s, char sep, std::size_t max_pieces);

// Numbers read from tmux: an optional single leading "+", then one or more ASCII digits and
// nothing else; leading zeros allowed; the value must not exceed the caller's bound.
enum class NumberError { kEmpty, kInvalidDigit, kTooLarge };

// The reason text shown to users after "invalid window_index: " and the like.
std::string_view describe(NumberError e) noexcept;

struct ParsedNumber {
    std::uint64_t value = 0;
    std::optional<NumberError> error;
    bool ok() const noexcept { return !error; }
};

// Scans left to right and reports the first problem met: a non-digit gives kInvalidDigit,
// a digit that takes the value above max gives kTooLarge, so "99999999999x" against a
// 32-bit bound is kTooLarge. "" is kEmpty; "+" alone and any "-" are kInvalidDigit.
ParsedNumber parse_unsigned(std::string_view s, std::uint64_t max) noexcept;

// True when the text holds a character tmux cannot show: a control character (general
// category Cc), a line or paragraph separator (Zl, Zp) or an unassigned code point (Cn).
// tmux rewrites such characters in names and ignores a title that holds one.
bool has_unshowable(std::string_view s) noexcept;

// The text in double quotes as repr() shows it. Backslash and double quote are
// backslash-escaped; tab, CR, LF and NUL become \t \r \n \0; characters of general
// category Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs (except U+0020) and characters with
// Grapheme_Extend, wherever they stand, become \u{hex} (lowercase, no leading zeros).
// Everything else, apostrophe and non-ASCII letters included, is kept. Input is valid UTF-8.
std::string quote(std::string_view s);

}  // namespace vordalin::text
