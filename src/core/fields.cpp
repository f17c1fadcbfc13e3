#include "core/fields.hpp"

#include <algorithm>

#include "core/error.hpp"
#include "core/tmux.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

// Reads records from the front of the output, field by field, undoing escapes in place.
class RecordReader {
public:
    explicit RecordReader(std::string& output) : at_(output.data()), end_(output.data() + output.size()) {}

    bool done() const noexcept { return at_ == end_; }

    // The tag that leads the next line, with its "|"; nothing (the line skipped) otherwise.
    std::optional<char> tag() {
        if (end_ - at_ < 2 || at_[1] != kFieldSeparator) {
            skip_line(at_);
            return std::nullopt;
        }
        char tag = *at_;
        at_ += 2;
        return tag;
    }

    void skip_line() { skip_line(at_); }

    // The next record, or nothing (the reader then stands after the next line end).
    std::optional<Values> next(std::span<const FormatField> fields) {
        Values values;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            bool last = i + 1 == fields.size();
            std::optional<std::string_view> value = fields[i].free_text ? escaped() : plain();
            // No field reads past a line end, and what lies ahead is as tmux printed it.
            if (!value || !end_of_field(last)) {
                skip_line(at_);
                return std::nullopt;
            }
            values.push_back(*value);
        }
        return values;
    }

private:
    bool at_field_end() const noexcept { return at_ == end_ || *at_ == kFieldSeparator || *at_ == '\n'; }

    // Text up to the next separator or line end.
    std::optional<std::string_view> plain() {
        char* start = at_;
        while (!at_field_end()) {
            ++at_;
        }
        return std::string_view(start, static_cast<std::size_t>(at_ - start));
    }

    // Escaped text up to the next separator or line end that no "\" escapes, written back
    // undone over itself (undone text is never longer).
    std::optional<std::string_view> escaped() {
        char* start = at_;
        char* written = at_;
        while (!at_field_end()) {
            char c = *at_++;
            if (c == '\\') {
                if (at_ == end_ || *at_ == '\n') {
                    return std::nullopt;
                }
                c = *at_++;
                c = c == 'n' ? '\n' : c;
            }
            *written++ = c;
        }
        return std::string_view(start, static_cast<std::size_t>(written - start));
    }

    // Consumes the separator after a field, or the line end after the last one.
    bool end_of_field(bool last) {
        if (last && at_ == end_) {
            return true;
        }
        if (at_ == end_ || *at_ != (last ? '\n' : kFieldSeparator)) {
            return false;
        }
        ++at_;
        return true;
    }

    void skip_line(char* from) {
        char* line_end = std::find(from, end_, '\n');
        at_ = line_end == end_ ? end_ : line_end + 1;
    }

    char* at_;
    char* end_;
};

std::optional<Indexed> with_index(std::optional<Values> values) {
    if (!values) {
        return std::nullopt;
    }
    text::ParsedNumber index = text::parse_unsigned(values->front(), kMaxU32);
    if (!index.ok()) {
        return std::nullopt;
    }
    return Indexed{static_cast<std::uint32_t>(index.value), std::move(*values)};
}

}  // namespace

std::string record_format(std::span<const FormatField> fields) {
    std::string format;
    for (const FormatField& field : fields) {
        if (!format.empty()) {
            format += kFieldSeparator;
        }
        // "q" escapes "|" and "\" among others; the substitution then writes a line end as
        // "\n". tmux reads the variable once, and does not expand what the modifiers make.
        std::string variable(field.variable);
        format += field.free_text ? "#{s/\n/\\\\n/:#{q:" + variable + "}}" : "#{" + variable + "}";
    }
    return format;
}

std::string tagged_format(char tag, std::span<const FormatField> fields) {
    return std::string{tag, kFieldSeparator} + record_format(fields);
}

std::vector<Tagged> read_tagged_records(std::string& output, std::span<const RecordKind> kinds) {
    std::vector<Tagged> records;
    RecordReader reader(output);
    while (!reader.done()) {
        std::optional<char> tag = reader.tag();
        if (!tag) {
            continue;
        }
        const RecordKind* kind = nullptr;
        for (const RecordKind& known : kinds) {
            kind = known.tag == *tag ? &known : kind;
        }
        if (kind == nullptr) {
            reader.skip_line();
            continue;
        }
        if (auto values = reader.next(kind->fields)) {
            records.push_back(Tagged{*tag, std::move(*values)});
        }
    }
    return records;
}

std::vector<Values> read_records(std::string& output, std::span<const FormatField> fields) {
    std::vector<Values> records;
    RecordReader reader(output);
    while (!reader.done()) {
        if (auto values = reader.next(fields)) {
            records.push_back(std::move(*values));
        }
    }
    return records;
}

std::optional<Values> read_record(std::string& output, std::span<const FormatField> fields) {
    RecordReader reader(output);
    std::optional<Values> values = reader.next(fields);
    if (!values || !reader.done()) {
        return std::nullopt;
    }
    return values;
}

std::vector<Indexed> indexed_records(std::string& output, std::span<const FormatField> fields) {
    std::vector<Indexed> used;
    for (Values& values : read_records(output, fields)) {
        if (auto indexed = with_index(std::move(values))) {
            used.push_back(std::move(*indexed));
        }
    }
    return used;
}

std::optional<Indexed> indexed_record(std::string& output, std::span<const FormatField> fields) {
    return with_index(read_record(output, fields));
}

std::optional<std::uint32_t> lenient_u32(std::string_view field) {
    text::ParsedNumber number = text::parse_unsigned(text::trim(field), kMaxU32);
    if (!number.ok()) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(number.value);
}

std::uint64_t read_number(std::string_view field, std::uint64_t max, std::string_view what,
                          std::optional<std::string_view> shown) {
    text::ParsedNumber number = text::parse_unsigned(field, max);
    if (!number.ok()) {
        throw Error(std::string(what) + " " + text::quote(shown.value_or(field)) + ": " +
                    std::string(text::describe(*number.error)));
    }
    return number.value;
}

}  // namespace vordalin::core
