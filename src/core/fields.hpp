#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vordalin::core {

// One field of a record that tmux prints: a format variable, and whether it holds free text
// (a name, a title, a path) that may contain anything a program or a user put there.
struct FormatField {
    std::string_view variable;
    bool free_text = false;
};

using Values = std::vector<std::string_view>;

// The format that prints one record: the fields joined by "|". tmux evaluates each variable
// once, and writes a free-text field escaped (a "\" before each of "|", "\" and the other
// characters its "q" modifier escapes, and "\n" for a line end), so that no text can forge a
// separator or a line end, nor change between two reads of a program's name or directory.
std::string record_format(std::span<const FormatField> fields);

// Every record in tmux's output, one value per field. The values point into `output`, where
// escaped fields are undone in place. A record that does not read is skipped up to the next
// line end.
std::vector<Values> read_records(std::string& output, std::span<const FormatField> fields);
// The output as exactly one record (its final line end optional), or nothing.
std::optional<Values> read_record(std::string& output, std::span<const FormatField> fields);

// Records of several kinds in one output, each line led by its kind's tag and a "|": what
// one client prints for several listing commands chained together.
struct RecordKind {
    char tag;
    std::span<const FormatField> fields;
};
struct Tagged {
    char tag;
    Values values;
};
std::string tagged_format(char tag, std::span<const FormatField> fields);
// Every record of a known kind; a line with another tag, or that does not read, is skipped.
std::vector<Tagged> read_tagged_records(std::string& output, std::span<const RecordKind> kinds);

// A record whose first field is an index: the index and all the values.
struct Indexed {
    std::uint32_t index = 0;
    Values values;
};

// The records whose first value reads as an unsigned 32-bit decimal; the rest are skipped.
std::vector<Indexed> indexed_records(std::string& output, std::span<const FormatField> fields);
std::optional<Indexed> indexed_record(std::string& output, std::span<const FormatField> fields);

// The unsigned decimal rule, strict: on failure throws Error("<what> \"shown\": <reason>"),
// where `shown` is the field as it stood in the output (by default the field itself).
std::uint64_t read_number(std::string_view field, std::uint64_t max, std::string_view what,
                          std::optional<std::string_view> shown = std::nullopt);

// A number read leniently: blanks around it are fine, anything unreadable is absent.
std::optional<std::uint32_t> lenient_u32(std::string_view field);

constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFu;
constexpr std::uint64_t kMaxU64 = 0xFFFFFFFFFFFFFFFFu;

}  // namespace vordalin::core
