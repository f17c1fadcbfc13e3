#include "channel/registry.hpp"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

#include "runner/process.hpp"
#include "runner/spin_lock.hpp"
#include "text/text.hpp"
#include "tmux/socket.hpp"

namespace vordalin::channel::registry {

namespace {

constexpr const char* kSwitch = "VORDALIN_CHANNEL";

bool switch_on() {
    const char* value = std::getenv(kSwitch);
    return value != nullptr && std::string_view(value) == "1";
}

struct Entry {
    std::shared_ptr<Client> client;
    // connect() asked for a channel here: one that ends is opened again by a later call.
    bool wanted = false;
    // Whether to try opening one: at first, and after a failed try only once the server has
    // answered a process (with the switch on, a call finds the server that way first).
    bool retry = true;
};

struct Registry {
    runner::SpinLock lock;
    std::map<std::string, Entry> entries;
    std::atomic<std::size_t> open{0};
    std::atomic<std::size_t> wanted{0};
};

Registry* g_registry = nullptr;

// A child made by fork starts with none of its parent's channels. It must not end their
// clients, close what they stand on or remove their files: all of that is the parent's. The
// child only closes its copies of their descriptors, and keeps the objects for ever, since
// destroying them would act (and their threads do not exist in the child).
void forget_in_child() noexcept {
    Registry* inherited = g_registry;
    inherited->lock.unlock();
    g_registry = new Registry;
    for (auto& [key, entry] : inherited->entries) {
        if (entry.client) {
            entry.client->forsake();
        }
    }
}

Registry& all() {
    static const bool made = [] {
        g_registry = new Registry;  // never destroyed: the interpreter's exit closes the channels
        // The lock is held across the fork, so the child's copy of the registry is whole.
        ::pthread_atfork([] { g_registry->lock.lock(); }, [] { g_registry->lock.unlock(); }, forget_in_child);
        return true;
    }();
    static_cast<void>(made);
    return *g_registry;
}

// The directory and PATH that a command run over ssh on the host has, from one such command.
std::optional<RemotePlace> remote_place(const tmux::Remote& remote) {
    runner::Result found = runner::run(tmux::ssh_argv(remote, tmux::SshInput::kNone, R"(printf '%s\0' "$PWD" "$PATH")"),
                                       {runner::Input::kNull, runner::Output::kCapture, runner::Output::kNull});
    std::vector<std::string_view> fields = text::split_at_most(found.out.view(), '\0', 3);
    if (!found.ok() || fields.size() != 3 || !fields[2].empty()) {
        return std::nullopt;
    }
    return RemotePlace{std::string(fields[0]), std::string(fields[1])};
}

}  // namespace

std::string key_of(const tmux::Socket& socket) {
    // A remote server's channel is known by its host, its ssh options and the path as given:
    // nothing here can resolve a path on the host.
    if (const tmux::Remote* remote = socket.remote.get()) {
        std::string key = std::string("ssh") + '\0' + remote->host;
        for (const std::string& option : remote->options) {
            key += '\0' + option;
        }
        return key + '\0' + (socket.path ? "=" + *socket.path : std::string());
    }
    std::string path = tmux::local_socket(socket.path);
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(directory.c_str(), nullptr), &std::free);
    if (!resolved) {
        return path;
    }
    return std::string(resolved.get()) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

std::optional<std::string> current_session(const tmux::Socket& socket) {
    std::vector<std::string> argv = tmux::client_argv(socket);
    argv.insert(argv.end(), {"display-message", "-p", "#{session_id}"});
    return session_id_in(runner::run(tmux::where_the_server_is(socket, std::move(argv)),
                                     {runner::Input::kNull, runner::Output::kCapture, runner::Output::kNull}));
}

std::optional<std::string> session_id_in(const runner::Result& printed) {
    std::string_view id = printed.ok() ? printed.out.view() : std::string_view();
    id = id.substr(0, id.find('\n'));  // a hook may print after it
    if (!id.starts_with('$')) {
        return std::nullopt;
    }
    return std::string(id);
}

std::shared_ptr<Client> find(const std::string& key) {
    Registry& registry = all();
    if (registry.open == 0) {
        return nullptr;
    }
    std::shared_ptr<Client> found;
    {
        std::lock_guard<runner::SpinLock> hold(registry.lock);
        auto entry = registry.entries.find(key);
        if (entry == registry.entries.end() || !entry->second.client) {
            return nullptr;
        }
        found = entry->second.client;
    }
    if (!found->alive()) {
        take(key, found.get());
        return nullptr;
    }
    return found;
}

std::shared_ptr<Client> open(const std::string& key, const tmux::Socket& socket, bool wanted) {
    if (std::shared_ptr<Client> open = find(key)) {
        return open;
    }
    Registry& registry = all();
    if (!wanted) {
        std::lock_guard<runner::SpinLock> hold(registry.lock);
        auto entry = registry.entries.find(key);
        bool asked = switch_on() || (entry != registry.entries.end() && entry->second.wanted);
        if (!asked || (entry != registry.entries.end() && !entry->second.retry)) {
            return nullptr;
        }
    }
    std::optional<std::string> session = current_session(socket);
    std::optional<RemotePlace> place;
    if (session && socket.remote) {
        place = remote_place(*socket.remote);
    }
    bool placed = !socket.remote || place;
    std::shared_ptr<Client> client = session && placed ? Client::open(socket, *session, std::move(place)) : nullptr;
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    Entry& entry = registry.entries[key];
    entry.retry = client != nullptr;
    if (client) {
        if (!entry.client) {
            ++registry.open;
        }
        entry.client = client;
    }
    return client;
}

std::shared_ptr<Client> take(const std::string& key, const Client* client) {
    Registry& registry = all();
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    auto entry = registry.entries.find(key);
    if (entry == registry.entries.end() || !entry->second.client || entry->second.client.get() != client) {
        return nullptr;
    }
    --registry.open;
    return std::move(entry->second.client);
}

void want(const std::string& key, bool wanted) {
    Registry& registry = all();
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    Entry& entry = registry.entries[key];
    if (entry.wanted != wanted) {
        entry.wanted = wanted;
        wanted ? ++registry.wanted : --registry.wanted;
    }
}

void answered_a_process(const std::string& key) {
    Registry& registry = all();
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    auto entry = registry.entries.find(key);
    if (entry != registry.entries.end()) {
        entry->second.retry = true;
    }
}

bool in_use(const std::string& key) {
    if (switch_on()) {
        return true;
    }
    Registry& registry = all();
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    auto entry = registry.entries.find(key);
    return entry != registry.entries.end() && (entry->second.wanted || entry->second.client);
}

bool active() {
    Registry& registry = all();
    return registry.open != 0 || registry.wanted != 0 || switch_on();
}

void close_all() noexcept {
    Registry& registry = all();
    std::vector<std::shared_ptr<Client>> clients;
    {
        std::lock_guard<runner::SpinLock> hold(registry.lock);
        for (auto& [key, entry] : registry.entries) {
            if (entry.client) {
                clients.push_back(std::move(entry.client));
            }
        }
        registry.entries.clear();
        registry.open = 0;
        registry.wanted = 0;
    }
    for (std::shared_ptr<Client>& client : clients) {
        try {
            client->close();
        } catch (...) {
            client->drop();
        }
    }
}

}  // namespace vordalin::channel::registry
