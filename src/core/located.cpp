#include "core/located.hpp"

#include <array>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::array<FormatField, 3> kWindowFields{{{"session_name", true}, {"window_index"}, {"window_name", true}}};
constexpr std::array<FormatField, 5> kPaneFields{
    {{"session_name", true}, {"window_index"}, {"pane_index"}, {"pane_id"}, {"pane_title", true}}};

[[noreturn]] void unexpected(std::string_view output) {
    throw Error("unexpected tmux output: " + text::quote(text::trim(text::decode_lossy(output))));
}

// The fields of the one record in `output`, read in place.
Values fields_of(std::string& output, std::span<const FormatField> fields) {
    std::string printed = output;
    std::optional<Values> values = read_record(output, fields);
    if (!values) {
        unexpected(printed);
    }
    return *values;
}

std::uint32_t index_of(std::string_view field, std::string_view what) {
    return static_cast<std::uint32_t>(read_number(field, kMaxU32, what));
}

}  // namespace

const std::string& window_record_format() {
    static const std::string kFormat = record_format(kWindowFields);
    return kFormat;
}

const std::string& pane_record_format() {
    static const std::string kFormat = record_format(kPaneFields);
    return kFormat;
}

WindowRecord read_window_record(std::string output, const Socket& socket) {
    Values fields = fields_of(output, kWindowFields);
    return WindowRecord{text::decode_lossy(fields[0]), index_of(fields[1], "bad window_index"), socket,
                        text::decode_lossy(fields[2])};
}

PaneRecord read_pane_record(std::string output, const Socket& socket) {
    Values fields = fields_of(output, kPaneFields);
    return PaneRecord{text::decode_lossy(fields[0]),         index_of(fields[1], "bad window_index"),
                      index_of(fields[2], "bad pane_index"), text::decode_lossy(fields[3]),
                      text::decode_lossy(fields[4]),         socket};
}

std::string display_strictly(const Socket& socket, std::string_view target, std::string_view format,
                             std::string_view failure) {
    // The format is tmux's by design; "--" keeps one that starts with "-" a format.
    std::string output = checked_bytes(
        strictly_resolved(socket, target, {"display-message", "-p", "-t", target, "--", format}), {failure});
    if (output.ends_with('\n')) {
        output.pop_back();
    }
    return output;
}

WindowRecord window_at(const Socket& socket, std::string_view target, std::string_view failure) {
    return read_window_record(display_strictly(socket, target, window_record_format(), failure), socket);
}

PaneRecord pane_at(const Socket& socket, std::string_view target, std::string_view failure) {
    return read_pane_record(display_strictly(socket, target, pane_record_format(), failure), socket);
}

}  // namespace vordalin::core
