#include "tmux/socket.hpp"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace vordalin::tmux {

std::string default_socket(std::uint32_t uid) {
    const char* inside = std::getenv("TMUX");
    if (inside != nullptr && *inside != '\0' && *inside != ',') {
        std::string_view value(inside);
        return std::string(value.substr(0, value.find(',')));
    }
    const char* base = std::getenv("TMUX_TMPDIR");
    std::string directory = base != nullptr && *base != '\0' ? base : "/tmp";
    directory += directory.ends_with('/') ? "tmux-" : "/tmux-";
    directory += std::to_string(uid);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(directory.c_str(), nullptr), &std::free);
    if (resolved) {
        directory = resolved.get();
    }
    return directory + "/default";
}

std::string local_socket(const std::optional<std::string>& given) {
    return given ? *given : default_socket(static_cast<std::uint32_t>(::getuid()));
}

}  // namespace vordalin::tmux
