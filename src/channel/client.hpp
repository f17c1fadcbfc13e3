// One open channel: a tmux client in control mode attached to a server, the turn that lets
// one call at a time use it, and a thread that reads what tmux writes while no call does, so
// that nothing piles up in the server while the channel sits idle.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "channel/capture.hpp"
#include "channel/protocol.hpp"
#include "runner/fd.hpp"
#include "tmux/command.hpp"

namespace vordalin::channel {

// One call at a time on a channel. Threads wait their turn without the interpreter's lock;
// a call made on the thread that holds the turn (from a signal handler further up) is told
// so instead of waiting for itself.
class Turn {
public:
    enum class Taken { kYes, kHeldHere };
    // Waits for the turn, running the interrupt check meanwhile (throws Interrupted when it
    // asks to stop); kHeldHere when this thread holds it already.
    Taken take();
    bool try_take() noexcept;
    void give() noexcept;

private:
    std::mutex mutex_;
    bool taken_ = false;
    std::thread::id holder_;
    // Counts the turn's hand-backs; a thread waiting for the turn sleeps until it changes.
    std::atomic<std::uint32_t> given_{0};
    std::atomic<int> waiting_{0};
};

// Where a tmux process of ours on a remote host runs: the directory and PATH of a command that
// ssh runs there, which it would bring to a program it starts.
struct RemotePlace {
    std::string directory;
    std::string path;
};

// A control client started on the server and attached: what it says, and its process as tmux
// reports it (#{client_pid}; on a remote host, as tmux there reports it).
struct Attached {
    Protocol protocol;
    pid_t pid;
};

// Starts a control client on the server, attaches it to the session `session` ("$3") with the
// client flags `flags` (attach-session -f), and waits until it is attached; nothing when it
// cannot start or attach in time.
std::optional<Attached> attach_control_client(const tmux::Socket& socket, const std::string& session,
                                              const std::string& flags);

class Client {
public:
    // Starts a control client on the server and attaches it to the session `session`
    // ("$3"); nothing when it cannot start or attach in time. A server on a remote host is
    // reached through ssh, and `place` tells where a process of ours runs there.
    static std::shared_ptr<Client> open(const tmux::Socket& socket, const std::string& session,
                                        std::optional<RemotePlace> place = std::nullopt);
    ~Client();

    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Runs the request over the channel. Nothing when it did not go there: this thread holds
    // the turn already, the client has ended, or a capture cannot be taken this way; or when
    // the client ended while the request was on its way, with `lost` telling whether the
    // client may have run it. Throws Interrupted when the interrupt check asked to stop; the
    // channel is dropped then, being out of step.
    std::optional<runner::Result> run(const Request& request, const tmux::Traits& traits, bool& lost);

    // Whether the client still runs; when no call uses the channel, what it wrote is taken
    // in first, so an end that has happened shows.
    bool alive();
    // Tells the client to go and waits a moment for it, then kills it if it has not gone.
    // When a call uses the channel (on another thread, or further up this one), drops it
    // instead: that call finds its end.
    void close();
    // Ends the client now. A call waiting on it from further up this thread finds its end.
    void drop() noexcept;
    // Lets go of everything without a word to the client or a change to the files: for a
    // process that inherited the channel by fork. The object must then never be destroyed.
    void forsake() noexcept;
    // The id of the session the client is attached to.
    std::string session_id();
    // The client's process, as tmux reports it (#{client_pid}); on a remote host, as tmux there
    // reports it.
    pid_t pid() const noexcept { return pid_; }
    // Where a process of ours would run, for a server on a remote host; nothing on this machine.
    const std::optional<RemotePlace>& remote_place() const noexcept { return place_; }

private:
    explicit Client(Attached attached) noexcept : pid_(attached.pid), protocol_(std::move(attached.protocol)) {}
    void drain_while_idle() noexcept;
    // Ends the client and lets go of its files; with the turn held.
    void end() noexcept;

    pid_t pid_;
    std::optional<RemotePlace> place_;
    Protocol protocol_;
    std::unique_ptr<Captures> captures_;
    Turn turn_;
    std::atomic<bool> alive_{true};
    std::atomic<bool> stopping_{false};
    // Written to stop the drain.
    runner::Fd wake_;
    std::thread drain_;
    const pid_t owner_ = ::getpid();
};

}  // namespace vordalin::channel
