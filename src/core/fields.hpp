#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vordalin::core {

// A bar-separated line whose first field is an index: the index and all the fields.
struct IndexedFields {
    std::uint32_t index = 0;
    std::vector<std::string_view> fields;
};

// The line cut at every bar, when it has exactly `count` fields and the first one reads as
// an unsigned 32-bit decimal; nothing otherwise. The line is used as given (not trimmed).
std::optional<IndexedFields> indexed_fields(std::string_view line, std::size_t count);

// Every line of a listing, trimmed, that indexed_fields accepts; the rest are skipped.
std::vector<IndexedFields> indexed_lines(std::string_view output, std::size_t count);

// The unsigned decimal rule, strict: on failure throws Error("<what> \"shown\": <reason>"),
// where `shown` is the field as it stood in the output (by default the field itself).
std::uint64_t read_number(std::string_view field, std::uint64_t max, std::string_view what,
                          std::optional<std::string_view> shown = std::nullopt);

constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxU64 = 0xFFFFFFFFFFFFFFFFu;

}  // namespace vordalin::core
