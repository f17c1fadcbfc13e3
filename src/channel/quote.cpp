#include "channel/quote.hpp"

namespace vordalin::channel {

std::string quote_argument(std::string_view argument) {
    std::string quoted = "\"";
    for (char c : argument) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\' && byte != '$' && byte != '~';
        if (plain) {
            quoted += c;
            continue;
        }
        quoted += '\\';
        quoted += static_cast<char>('0' + (byte >> 6));
        quoted += static_cast<char>('0' + ((byte >> 3) & 7));
        quoted += static_cast<char>('0' + (byte & 7));
    }
    quoted += '"';
    return quoted;
}

std::string command_line(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        line += line.empty() ? "" : " ";
        line += quote_argument(word);
    }
    return line;
}

}  // namespace vordalin::channel
