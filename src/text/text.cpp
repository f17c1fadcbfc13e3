#include "text/text.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <utility>

#include "text/unicode_tables.hpp"

namespace vordalin::text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// One UTF-8 sequence at the front of some bytes. An ill-formed one has the length of
// its maximal subpart (at least 1) and no meaningful code point.
struct Sequence {
    char32_t code_point;
    std::size_t length;
    bool valid;
};

// Reads the sequence at the front of non-empty bytes, following the table of well-formed
// byte sequences in the Unicode Standard: only the second byte has a narrowed range.
Sequence read_sequence(std::string_view bytes) noexcept {
    const auto byte = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1, true};
    }
    std::size_t trailing = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trailing = 1;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trailing = 2;
        value = lead & 0x0Fu;
        // E0 80..9F would be overlong, ED A0..BF a surrogate.
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trailing = 3;
        value = lead & 0x07u;
        // F0 80..8F would be overlong, F4 90..BF beyond U+10FFFF.
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {0, 1, false};
    }
    for (std::size_t i = 1; i <= trailing; ++i) {
        if (i >= bytes.size() || byte(i) < low || byte(i) > high) {
            return {0, i, false};
        }
        value = (value << 6) | (byte(i) & 0x3Fu);
        low = 0x80;
        high = 0xBF;
    }
    return {value, trailing + 1, true};
}

std::size_t valid_prefix_length(std::string_view bytes) noexcept {
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Captures are mostly ASCII: look for a set high bit eight bytes at a time.
        if (bytes.size() - i >= kWord) {
            std::uint64_t word = 0;
            std::memcpy(&word, bytes.data() + i, kWord);
            if ((word & kHighBits) == 0) {
                i += kWord;
                continue;
            }
        }
        const Sequence sequence = read_sequence(bytes.substr(i));
        if (!sequence.valid) {
            return i;
        }
        i += sequence.length;
    }
    return i;
}

// Decodes bytes whose first `valid` bytes are known to be well-formed.
std::string decode_from(std::string_view bytes, std::size_t valid) {
    std::string out;
    out.reserve(bytes.size() + kReplacement.size());
    while (true) {
        out.append(bytes.substr(0, valid));
        bytes.remove_prefix(valid);
        if (bytes.empty()) {
            return out;
        }
        out.append(kReplacement);
        bytes.remove_prefix(read_sequence(bytes).length);
        valid = valid_prefix_length(bytes);
    }
}

bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool is_continuation(char byte) noexcept {
    return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u;
}

template <std::size_t N>
bool in_table(const tables::CodePointRange (&ranges)[N], char32_t c) noexcept {
    // Printable ASCII is the common case and in neither table.
    if (c >= 0x20 && c < 0x7F) {
        return false;
    }
    const auto* range =
        std::lower_bound(std::begin(ranges), std::end(ranges), c,
                         [](const tables::CodePointRange& r, char32_t value) { return r.last < value; });
    return range != std::end(ranges) && range->first <= c;
}

bool is_escaped(char32_t c) noexcept {
    return in_table(tables::kEscapedRanges, c);
}

void append_quoted(std::string& out, char32_t c, std::string_view encoded) {
    switch (c) {
        case U'\\':
            out += "\\\\";
            return;
        case U'"':
            out += "\\\"";
            return;
        case U'\t':
            out += "\\t";
            return;
        case U'\r':
            out += "\\r";
            return;
        case U'\n':
            out += "\\n";
            return;
        case U'\0':
            out += "\\0";
            return;
        default:
            break;
    }
    if (!is_escaped(c)) {
        out += encoded;
        return;
    }
    char hex[8];
    const auto result = std::to_chars(std::begin(hex), std::end(hex), std::uint32_t{c}, 16);
    out += "\\u{";
    out.append(std::begin(hex), result.ptr);
    out += '}';
}

}  // namespace

bool is_utf8(std::string_view bytes) noexcept {
    return valid_prefix_length(bytes) == bytes.size();
}

std::string decode_lossy(std::string&& bytes) {
    const std::size_t valid = valid_prefix_length(bytes);
    if (valid == bytes.size()) {
        return std::move(bytes);
    }
    return decode_from(bytes, valid);
}

std::string decode_lossy(std::string_view bytes) {
    const std::size_t valid = valid_prefix_length(bytes);
    if (valid == bytes.size()) {
        return std::string(bytes);
    }
    return decode_from(bytes, valid);
}

std::string_view trim_start(std::string_view s) noexcept {
    while (!s.empty()) {
        const Sequence sequence = read_sequence(s);
        if (!sequence.valid || !is_white_space(sequence.code_point)) {
            break;
        }
        s.remove_prefix(sequence.length);
    }
    return s;
}

std::string_view trim_end(std::string_view s) noexcept {
    while (!s.empty()) {
        // The last character starts at most three continuation bytes before the end.
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 && is_continuation(s[start])) {
            --start;
        }
        const Sequence sequence = read_sequence(s.substr(start));
        if (!sequence.valid || sequence.length != s.size() - start || !is_white_space(sequence.code_point)) {
            break;
        }
        s.remove_suffix(sequence.length);
    }
    return s;
}

std::string_view trim(std::string_view s) noexcept {
    return trim_end(trim_start(s));
}

bool is_blank(std::string_view s) noexcept {
    return trim_start(s).empty();
}

std::vector<std::string_view> split_lines(std::string_view s) {
    std::vector<std::string_view> lines;
    while (!s.empty()) {
        const std::size_t end = s.find('\n');
        if (end == std::string_view::npos) {
            lines.push_back(s);
            break;
        }
        std::string_view line = s.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        s.remove_prefix(end + 1);
    }
    return lines;
}

std::vector<std::string_view> split_fields(std::string_view s, char sep) {
    return split_at_most(s, sep, std::numeric_limits<std::size_t>::max());
}

std::vector<std::string_view> split_at_most(std::string_view s, char sep, std::size_t max_pieces) {
    std::vector<std::string_view> pieces;
    while (pieces.size() + 1 < max_pieces) {
        const std::size_t at = s.find(sep);
        if (at == std::string_view::npos) {
            break;
        }
        pieces.push_back(s.substr(0, at));
        s.remove_prefix(at + 1);
    }
    pieces.push_back(s);
    return pieces;
}

std::string_view describe(NumberError e) noexcept {
    switch (e) {
        case NumberError::kEmpty:
            return "cannot parse integer from empty string";
        case NumberError::kInvalidDigit:
            return "invalid digit found in string";
        case NumberError::kTooLarge:
            return "number too large to fit in target type";
    }
    // Reachable only through a value cast from outside the enumeration.
    return "invalid number";
}

ParsedNumber parse_unsigned(std::string_view s, std::uint64_t max) noexcept {
    if (s.empty()) {
        return {0, NumberError::kEmpty};
    }
    std::string_view digits = s;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
    }
    // A lone "+" counts as a bad digit, not as empty text.
    if (digits.empty()) {
        return {0, NumberError::kInvalidDigit};
    }
    std::uint64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return {0, NumberError::kInvalidDigit};
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        // value * 10 + digit > max, written so that nothing overflows.
        if (digit > max || value > (max - digit) / 10) {
            return {0, NumberError::kTooLarge};
        }
        value = value * 10 + digit;
    }
    return {value, std::nullopt};
}

std::string quote(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    while (!s.empty()) {
        const Sequence sequence = read_sequence(s);
        // Callers pass valid UTF-8; should a bad byte slip through, it shows as U+FFFD.
        if (sequence.valid) {
            append_quoted(out, sequence.code_point, s.substr(0, sequence.length));
        } else {
            out += kReplacement;
        }
        s.remove_prefix(sequence.length);
    }
    out += '"';
    return out;
}

std::string_view without_line_end(std::string_view s) noexcept {
    if (s.ends_with('\n')) {
        s.remove_suffix(1);
        if (s.ends_with('\r')) {
            s.remove_suffix(1);
        }
    }
    return s;
}

bool has_unshowable(std::string_view s) noexcept {
    while (!s.empty()) {
        const Sequence sequence = read_sequence(s);
        if (!sequence.valid || in_table(tables::kUnshowableRanges, sequence.code_point)) {
            return true;
        }
        s.remove_prefix(sequence.length);
    }
    return false;
}

}  // namespace vordalin::text
