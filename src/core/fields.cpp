#include "core/fields.hpp"

#include "core/error.hpp"
#include "core/tmux.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

// Reads records from the front of the output, field by field.
class RecordReader {
public:
    explicit RecordReader(std::string_view output) : rest_(output) {}

    bool done() const noexcept { return rest_.empty(); }

    // The tag that leads the next line, with its "|"; nothing (the line skipped) otherwise.
    std::optional<char> tag() {
        if (rest_.size() < 2 || rest_[1] != kFieldSeparator) {
            skip_line(rest_);
            return std::nullopt;
        }
        char tag = rest_.front();
        rest_.remove_prefix(2);
        return tag;
    }

    void skip_line() { skip_line(rest_); }

    // The next record, or nothing (the reader then stands after the next line end).
    std::optional<Values> next(std::span<const FormatField> fields) {
        std::string_view start = rest_;
        Values values;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            bool last = i + 1 == fields.size();
            std::optional<std::string_view> value = fields[i].free_text ? counted() : plain();
            if (!value || !end_of_field(last)) {
                skip_line(start);
                return std::nullopt;
            }
            values.push_back(*value);
        }
        return values;
    }

private:
    // Text up to the next separator or line end.
    std::optional<std::string_view> plain() {
        std::string_view value = rest_.substr(0, rest_.find_first_of("|\n"));
        rest_.remove_prefix(value.size());
        return value;
    }

    // A length, a separator and exactly that many bytes.
    std::optional<std::string_view> counted() {
        std::size_t bar = rest_.find(kFieldSeparator);
        if (bar == std::string_view::npos) {
            return std::nullopt;
        }
        text::ParsedNumber length = text::parse_unsigned(rest_.substr(0, bar), rest_.size() - bar - 1);
        if (!length.ok()) {
            return std::nullopt;
        }
        std::string_view value = rest_.substr(bar + 1, length.value);
        rest_.remove_prefix(bar + 1 + value.size());
        return value;
    }

    // Consumes the separator after a field, or the line end after the last one.
    bool end_of_field(bool last) {
        if (last && rest_.empty()) {
            return true;
        }
        if (rest_.empty() || rest_.front() != (last ? '\n' : kFieldSeparator)) {
            return false;
        }
        rest_.remove_prefix(1);
        return true;
    }

    void skip_line(std::string_view from) {
        std::size_t end = from.find('\n');
        rest_ = end == std::string_view::npos ? std::string_view() : from.substr(end + 1);
    }

    std::string_view rest_;
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
        if (field.free_text) {
            format += "#{n:" + std::string(field.variable) + "}" + kFieldSeparator;
        }
        format += "#{" + std::string(field.variable) + "}";
    }
    return format;
}

std::string tagged_format(char tag, std::span<const FormatField> fields) {
    return std::string{tag, kFieldSeparator} + record_format(fields);
}

std::vector<Tagged> read_tagged_records(std::string_view output, std::span<const RecordKind> kinds) {
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

std::vector<Values> read_records(std::string_view output, std::span<const FormatField> fields) {
    std::vector<Values> records;
    RecordReader reader(output);
    while (!reader.done()) {
        if (auto values = reader.next(fields)) {
            records.push_back(std::move(*values));
        }
    }
    return records;
}

std::optional<Values> read_record(std::string_view output, std::span<const FormatField> fields) {
    RecordReader reader(output);
    std::optional<Values> values = reader.next(fields);
    if (!values || !reader.done()) {
        return std::nullopt;
    }
    return values;
}

std::vector<Indexed> indexed_records(std::string_view output, std::span<const FormatField> fields) {
    std::vector<Indexed> used;
    for (Values& values : read_records(output, fields)) {
        if (auto indexed = with_index(std::move(values))) {
            used.push_back(std::move(*indexed));
        }
    }
    return used;
}

std::optional<Indexed> indexed_record(std::string_view output, std::span<const FormatField> fields) {
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
