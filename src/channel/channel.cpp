// The choice of transport: which commands the channel takes, how a command is given what a
// process of ours would have brought along, and what a channel that ends midway means.
#include "channel/channel.hpp"

#include <unistd.h>

#include <cstdlib>
#include <memory>

#include "channel/client.hpp"
#include "channel/events.hpp"
#include "channel/registry.hpp"
#include "channel/watch.hpp"
#include "tmux/format.hpp"

namespace vordalin::channel {

namespace {

// The options a process of ours would bring to a program the command starts: tmux gives an
// unattached client's PATH to the program (after the command's own -e, so it wins over them),
// and its working directory where the command names none. The channel's client is attached,
// so it says both: ours, or on a remote host those of a command run there. Nothing when the
// directory cannot be told.
std::optional<Words> start_options(const tmux::Start& start, const std::optional<RemotePlace>& remote) {
    Words options;
    if (start.in_client_directory) {
        std::unique_ptr<char, decltype(&std::free)> cwd(remote ? nullptr : ::getcwd(nullptr, 0), &std::free);
        if (!cwd && !remote) {
            return std::nullopt;
        }
        // tmux expands formats in the directory.
        options = {"-c", tmux::literal_format(remote ? remote->directory : std::string(cwd.get()))};
    }
    if (remote) {
        options.insert(options.end(), {"-e", "PATH=" + remote->path});
    } else if (const char* path = std::getenv("PATH")) {
        options.insert(options.end(), {"-e", std::string("PATH=") + path});
    }
    return options;
}

std::optional<Request> request_for(const tmux::Command& command, bool wants_output, const Client& client) {
    Request request{{}, wants_output, command.traits.types_into};
    std::optional<Words> options;
    if (command.traits.start) {
        options = start_options(*command.traits.start, client.remote_place());
        if (!options) {
            return std::nullopt;
        }
    }
    command.each_command([&](std::span<const std::string> words) {
        Words& each = request.commands.emplace_back(words.begin(), words.end());
        auto offset = static_cast<std::size_t>(words.data() - command.args.data());
        if (options && command.traits.start->options_end >= offset &&
            command.traits.start->options_end <= offset + words.size()) {
            each.insert(each.begin() + static_cast<std::ptrdiff_t>(command.traits.start->options_end - offset),
                        options->begin(), options->end());
        }
    });
    return request;
}

// Whether the channel gives what a process would for this command.
bool for_the_channel(const tmux::Command& command) {
    const tmux::Traits& traits = command.traits;
    if (command.verbatim || !traits.exact || traits.client_environment) {
        return false;
    }
    // What a tmux client refuses to send, or a NUL, which cannot reach tmux at all, runs as a
    // process, which refuses it in its own words.
    if (tmux::packed_size(command) > tmux::kLargestCommand) {
        return false;
    }
    for (const std::string& word : command.args) {
        if (word.find('\0') != std::string::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<runner::Result> run(const tmux::Command& command, bool wants_output) {
    if (!registry::active() || !for_the_channel(command)) {
        return std::nullopt;
    }
    std::string key = registry::key_of(command.socket);
    std::shared_ptr<Client> client = registry::open(key, command.socket, false);
    if (!client) {
        return std::nullopt;
    }
    std::optional<Request> request = request_for(command, wants_output, *client);
    if (!request) {
        return std::nullopt;
    }
    bool lost = false;
    std::optional<runner::Result> result;
    try {
        result = client->run(*request, command.traits, lost);
    } catch (...) {
        registry::take(key, client.get());
        throw;
    }
    if (result) {
        if (command.traits.ends_server && result->ok() && registry::take(key, client.get())) {
            // Read on to the client's end: a server whose control client goes unread can hang
            // its other clients while it exits.
            client->close();
        }
        return result;
    }
    if (!client->alive()) {
        registry::take(key, client.get());
    }
    if (lost && command.traits.ends_server) {
        runner::Result killed;  // the server's end ends its clients: the kill took effect
        killed.returncode = 0;
        return killed;
    }
    if (lost && !command.traits.reads_only) {
        throw UnknownEffect{command.args.front()};
    }
    // Not sent, or only reading: it runs as a process instead.
    return std::nullopt;
}

void ran_as_process(const tmux::Socket& socket, bool succeeded) {
    if (succeeded && registry::active()) {
        registry::answered_a_process(registry::key_of(socket));
    }
}

bool connect(const tmux::Socket& socket) {
    std::string key = registry::key_of(socket);
    registry::want(key, true);
    return registry::open(key, socket, true) != nullptr;
}

void disconnect(const tmux::Socket& socket) {
    std::string key = registry::key_of(socket);
    registry::want(key, false);
    std::shared_ptr<Client> client = registry::find(key);
    if (client && registry::take(key, client.get())) {
        client->close();
    }
    forget_watch_streams(socket);
}

bool connected(const tmux::Socket& socket) {
    return registry::active() && registry::find(registry::key_of(socket)) != nullptr;
}

std::vector<OwnClient> own_clients(const tmux::Socket& socket) {
    std::string key = registry::key_of(socket);
    std::vector<OwnClient> own = stream_clients(key);
    if (registry::active()) {
        if (std::shared_ptr<Client> client = registry::find(key)) {
            own.push_back({client->pid(), client->session_id()});
        }
    }
    return own;
}

void close_all() noexcept {
    close_all_streams();
    registry::close_all();
}

}  // namespace vordalin::channel
