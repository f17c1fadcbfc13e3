#include "core/records.hpp"

#include "text/text.hpp"

namespace vordalin::core {

void write_value(std::string& out, std::string_view text) {
    out += text::quote(text);
}

void write_value(std::string& out, bool value) {
    out += value ? "true" : "false";
}

}  // namespace vordalin::core
