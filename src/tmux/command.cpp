#include "tmux/command.hpp"

#include <utility>

namespace vordalin::tmux {

namespace {

constexpr std::string_view kProgram = "tmux";

}  // namespace

Argv command_words(const Command& command) {
    Argv words;
    words.reserve(command.args.size() + command.chained_at.size());
    bool first = true;
    command.each_command([&](std::span<const std::string> each) {
        if (!std::exchange(first, false)) {
            words.emplace_back(";");
        }
        for (const std::string& word : each) {
            std::string& carried = words.emplace_back(word);
            if (!command.verbatim && carried.ends_with(';')) {
                carried.insert(carried.size() - 1, 1, '\\');
            }
        }
    });
    return words;
}

Argv client_argv(const Socket& socket) {
    Argv argv{std::string(kProgram), "-u"};
    if (socket.path) {
        argv.emplace_back("-S");
        argv.push_back(*socket.path);
    }
    return argv;
}

Argv process_argv(const Command& command) {
    Argv argv = client_argv(command.socket);
    argv.reserve(command.args.size() + command.chained_at.size() + 6);
    if (command.config) {
        argv.emplace_back("-f");
        argv.push_back(*command.config);
    }
    // A caller's own command line is a command: "--" keeps a leading "-S" or "-L" in it from
    // becoming the client's option, which would point it at another server.
    if (command.verbatim) {
        argv.emplace_back("--");
    }
    Argv words = command_words(command);
    std::move(words.begin(), words.end(), std::back_inserter(argv));
    return where_the_server_is(command.socket, std::move(argv));
}

Argv where_the_server_is(const Socket& socket, Argv argv, SshInput input) {
    if (!socket.remote) {
        return argv;
    }
    return ssh_argv(*socket.remote, input, remote_command(argv));
}

std::size_t packed_size(const Command& command) {
    std::size_t size = 0;
    for (const std::string& word : command_words(command)) {
        size += word.size() + 1;
    }
    return size;
}

}  // namespace vordalin::tmux
