#include "core/records.hpp"

#include <unistd.h>

#include <cerrno>
#include <vector>

#include "text/text.hpp"

namespace vordalin::core {

namespace {

// The working directory, or nothing when it cannot be read (it was removed, say).
std::optional<std::string> working_directory() {
    std::vector<char> buffer(256);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

// The path absolute (unless `relative` says it stays so), every run of "/" one "/", and no "."
// segment. ".." stays: what it leads to depends on symbolic links, which only the file system
// knows.
std::string normal_path(std::string_view path, bool relative = false) {
    std::string normal;
    if (!path.starts_with('/') && !relative) {
        std::optional<std::string> directory = working_directory();
        if (!directory) {
            return std::string(path);  // compared as given, the best there is
        }
        normal = normal_path(*directory);
    }
    std::size_t at = 0;
    while (at < path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        std::string_view segment = path.substr(at, end - at);
        if (!segment.empty() && segment != ".") {
            if (!normal.ends_with('/') && !(relative && normal.empty() && !path.starts_with('/'))) {
                normal += '/';
            }
            normal += segment;
        }
        at = end + 1;
    }
    if (normal.empty()) {
        return relative && !path.starts_with('/') ? "." : "/";
    }
    return normal;
}

}  // namespace

SocketPath::SocketPath(Socket given) : given_(std::move(given)) {
    if (given_.path) {
        // A relative path on a remote host counts from where its tmux runs, not from here.
        std::string normal = normal_path(*given_.path, given_.remote != nullptr);
        if (normal != *given_.path) {
            normal_ = std::move(normal);
        }
    }
}

SocketPath SocketPath::restored(Socket given, std::optional<std::string> resolved) {
    SocketPath socket;
    socket.given_ = std::move(given);
    socket.normal_ = std::move(resolved);
    return socket;
}

std::optional<std::string_view> SocketPath::compared() const noexcept {
    if (normal_) {
        return std::string_view(*normal_);
    }
    if (given_.path) {
        return std::string_view(*given_.path);
    }
    return std::nullopt;
}

std::size_t hash_value(std::string_view text) noexcept {
    return std::hash<std::string_view>{}(text);
}

std::size_t hash_value(const SocketPath& socket) noexcept {
    std::size_t hash = hash_value(socket.compared());
    if (const tmux::Remote* remote = socket.remote()) {
        hash = hash_combined(hash, hash_value(remote->host));
    }
    return hash;
}

void write_value(std::string& out, const SocketPath& socket) {
    write_value(out, socket.path());
}

void write_field(std::string& out, const char* name, const SocketPath& socket) {
    out += name;
    out += '=';
    write_value(out, socket);
    if (const tmux::Remote* remote = socket.remote()) {
        out += ", host=";
        write_value(out, remote->host);
    }
}

void write_value(std::string& out, std::string_view text) {
    out += text::quote(text);
}

void write_value(std::string& out, bool value) {
    out += value ? "true" : "false";
}

}  // namespace vordalin::core
