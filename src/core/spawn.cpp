#include "core/spawn.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

// The directory as an absolute path: the tmux server resolves a relative one against its
// own working directory, not the caller's.
std::string absolute(const std::string& directory) {
    if (directory.starts_with('/')) {
        return directory;
    }
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd) {
        throw Error::os(errno, directory);
    }
    std::string path = cwd.get();
    if (!path.ends_with('/')) {
        path += '/';
    }
    return path + directory;
}

// The directory on the remote host, absolute, as the host's shell finds it: a relative one
// counts from where a command run over ssh starts (the remote user's home). Raises as the
// local check does for one that is missing or no directory.
std::string remote_directory(const Socket& where, const std::string& directory) {
    // The directory comes as the shell's "$1", so it is data; "./" keeps one named "-" or
    // starting with "-" from being read as an option of cd, and CDPATH from being searched.
    constexpr std::string_view kFind = R"(case $1 in /*) d=$1 ;; *) d=./$1 ;; esac; )"
                                       R"(if [ -d "$d" ]; then cd -- "$d" && pwd; elif [ -e "$d" ]; then exit 3; )"
                                       R"(else exit 4; fi)";
    runner::Result found = run_where(where, {"sh", "-c", std::string(kFind), "sh", directory}, runner::Output::kCapture,
                                     runner::Output::kNull);
    if (found.returncode == 3) {
        throw Error::os(ENOTDIR, directory);
    }
    std::string_view path = text::without_line_end(found.out.view());
    if (!found.ok() || !path.starts_with('/')) {
        throw Error::os(ENOENT, directory);
    }
    return std::string(path);
}

// The directory as the tmux server is to take it, checked: it must be a directory.
std::string checked_directory(const Socket& where, const std::string& directory) {
    if (where.remote) {
        return remote_directory(where, directory);
    }
    std::string path = absolute(directory);
    struct statx status{};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE, &status) != 0) {
        throw Error::os(errno, directory);
    }
    if (!S_ISDIR(status.stx_mode)) {
        throw Error::os(ENOTDIR, directory);
    }
    return path;
}

}  // namespace

void add_start_options(Command& command, const std::optional<std::string>& start_directory,
                       const std::optional<Environment>& environment) {
    if (start_directory) {
        // tmux expands formats in the directory.
        command.append({"-c", literal_format(checked_directory(command.socket, *start_directory))});
    }
    if (environment) {
        for (const auto& [name, value] : *environment) {
            if (name.empty() || name.find('=') != std::string::npos) {
                throw Error("environment variable names cannot be empty or hold \"=\": " + text::quote(name),
                            Error::Kind::kValue);
            }
            command.append({"-e", name + "=" + value});
        }
    }
    command.starts_program(!start_directory);
}

}  // namespace vordalin::core
