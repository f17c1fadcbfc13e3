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

}  // namespace

void add_start_options(Command& command, const std::optional<std::string>& start_directory,
                       const std::optional<Environment>& environment) {
    if (start_directory) {
        std::string path = absolute(*start_directory);
        struct statx status{};
        if (::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE, &status) != 0) {
            throw Error::os(errno, *start_directory);
        }
        if (!S_ISDIR(status.stx_mode)) {
            throw Error::os(ENOTDIR, *start_directory);
        }
        // tmux expands formats in the directory.
        command.append({"-c", literal_format(path)});
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
