#include "core/fields.hpp"

#include "core/error.hpp"
#include "core/tmux.hpp"
#include "text/text.hpp"

namespace vordalin::core {

std::optional<IndexedFields> indexed_fields(std::string_view line, std::size_t count) {
    std::vector<std::string_view> fields = text::split_fields(line, kFieldSeparator);
    if (fields.size() != count) {
        return std::nullopt;
    }
    text::ParsedNumber index = text::parse_unsigned(fields[0], kMaxU32);
    if (!index.ok()) {
        return std::nullopt;
    }
    return IndexedFields{static_cast<std::uint32_t>(index.value), std::move(fields)};
}

std::vector<IndexedFields> indexed_lines(std::string_view output, std::size_t count) {
    std::vector<IndexedFields> used;
    for (std::string_view line : text::split_lines(output)) {
        if (auto fields = indexed_fields(text::trim(line), count)) {
            used.push_back(std::move(*fields));
        }
    }
    return used;
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
