#include "tmux/remote.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace vordalin::tmux {

namespace {

// How long a shared connection stays after its last call: long enough for a script's next
// call, short enough that nothing lingers long after the script.
constexpr std::string_view kPersist = "30";
constexpr std::string_view kConnectTimeout = "10";
// A connection that stops answering is given up after this many seconds, times three.
constexpr std::string_view kAliveInterval = "10";
// ssh makes a control socket under a temporary name 17 bytes longer before renaming it; the
// whole must fit a Unix socket's 108 bytes.
constexpr std::size_t kLongestControlPath = 107 - 17;

bool plain_word(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                     c == '.' || c == '/' || c == '-';
        if (!plain) {
            return false;
        }
    }
    return true;
}

// A directory ssh can be given as it is: ssh expands "%" in a control path and splits an
// option's value at blanks.
bool plain_path(std::string_view path) {
    return path.starts_with('/') && plain_word(path);
}

// The module's private directory for control sockets, one per user: made with mode 0700, and
// used only while it is a directory of ours that no one else can enter.
std::optional<std::string> private_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string directory = base != nullptr && plain_path(base) ? base : "/tmp";
    if (!directory.ends_with('/')) {
        directory += '/';
    }
    directory += "vordalin-ssh-" + std::to_string(::geteuid());
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::nullopt;
    }
    struct statx found{};
    if (::statx(AT_FDCWD, directory.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_MODE | STATX_UID, &found) != 0) {
        return std::nullopt;
    }
    if (!S_ISDIR(found.stx_mode) || found.stx_uid != ::geteuid() || (found.stx_mode & 077) != 0) {
        return std::nullopt;
    }
    return directory;
}

// The name of a remote's connection: a hash of its host and options, so that a remote with
// other options (another key, another port) never rides on a connection made for this one.
std::string connection_name(const Remote& remote) {
    std::uint64_t hash = 14695981039346656037ULL;
    auto mix = [&hash](std::string_view text) {
        for (char c : text) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        }
        hash = (hash ^ 0xFF) * 1099511628211ULL;  // ends each text, so ("ab", "c") differs from ("a", "bc")
    };
    mix(remote.host);
    for (const std::string& option : remote.options) {
        mix(option);
    }
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string name(16, '0');
    for (char& digit : name) {
        digit = kDigits[hash >> 60];
        hash <<= 4;
    }
    return name;
}

}  // namespace

std::string shell_word(std::string_view text) {
    if (plain_word(text)) {
        return std::string(text);
    }
    // Inside single quotes every byte is itself; a quote ends them, is written escaped, and
    // they start again.
    std::string word = "'";
    for (char c : text) {
        if (c == '\'') {
            word += "'\\''";
        } else {
            word += c;
        }
    }
    word += '\'';
    return word;
}

std::string remote_command(const Argv& argv) {
    std::string line = "exec";
    for (const std::string& word : argv) {
        line += ' ';
        line += shell_word(word);
    }
    return line;
}

std::optional<std::string> control_path(const Remote& remote) {
    std::optional<std::string> directory = private_directory();
    if (!directory) {
        return std::nullopt;
    }
    std::string path = *directory + "/" + connection_name(remote);
    if (path.size() > kLongestControlPath) {
        return std::nullopt;
    }
    return path;
}

Argv ssh_argv(const Remote& remote, SshInput input, const std::string& command) {
    // No terminal: tmux's output comes through untouched, and no escape character is read.
    Argv argv{"ssh", "-T"};
    if (input == SshInput::kNone) {
        argv.emplace_back("-n");  // the caller's standard input stays the caller's
    }
    // ssh takes the first value it is given for an option: these come before the caller's, so
    // none of them can be undone, and the defaults after, so the caller's win.
    argv.insert(argv.end(), {"-o", "BatchMode=yes"});
    if (std::optional<std::string> path = control_path(remote)) {
        argv.insert(argv.end(), {"-o", "ControlMaster=auto", "-o", "ControlPath=" + *path, "-o",
                                 "ControlPersist=" + std::string(kPersist)});
    } else {
        argv.insert(argv.end(), {"-o", "ControlMaster=no", "-o", "ControlPath=none"});
    }
    argv.insert(argv.end(), remote.options.begin(), remote.options.end());
    argv.insert(argv.end(), {"-o", "ConnectTimeout=" + std::string(kConnectTimeout), "-o",
                             "ServerAliveInterval=" + std::string(kAliveInterval), "-o", "LogLevel=ERROR"});
    // "--": a host can never be read as an option.
    argv.insert(argv.end(), {"--", remote.host, command});
    return argv;
}

}  // namespace vordalin::tmux
