// Event streams: a control client of their own per stream, separate from the command channel,
// whose notifications (changes on the server, and a session's pane output) become events that
// a reader takes in order. A reader that falls behind makes tmux pause the pane's output to the
// stream (pause-after) rather than let either process's memory grow.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel/client.hpp"
#include "channel/protocol.hpp"
#include "runner/fd.hpp"
#include "tmux/command.hpp"

namespace vordalin::channel {

// One notification: its name without the "%", the ids it names, the new name of a rename (or a
// subscription's name), and for "output" the text the pane's program wrote (for a
// subscription, its value).
struct Event {
    std::string kind;
    std::optional<std::string> session_id;
    std::optional<std::string> window_id;
    std::optional<std::string> pane_id;
    std::optional<std::string> name;
    std::optional<std::string> text;

    bool operator==(const Event&) const = default;
};

// The notification line as an event; nothing for a line that is none. For output, `text` holds
// the bytes the pane wrote (tmux's escapes undone), not yet decoded.
std::optional<Event> read_notification(std::string_view line);

// Turns each pane's output bytes into text: a character cut in two between notifications is
// held back until its rest comes, and bytes that are no UTF-8 become U+FFFD.
class OutputText {
public:
    std::string decode(const std::string& pane, std::string bytes);
    // What a pane still holds back, decoded as it is (its rest will not come).
    std::optional<std::string> flush(const std::string& pane);
    std::vector<std::string> panes() const;

private:
    std::map<std::string, std::string> held_;
};

class EventStream {
public:
    // Called on the stream's own thread for each event, instead of queueing it: a listener
    // keeps up by design, so tmux never pauses its output.
    using Listener = std::function<void(const Event&)>;

    // Starts the stream's client, attached to the session `session` ("$3"; without one, where a
    // tmux process of ours would act for lack of a target), with every pane's output of that
    // session when `output` is set. Attaching makes a session the one tmux picks for lack of a
    // target; when `session` is not that one already, that one is made so again. Nothing when
    // the client cannot start or attach, or no session runs.
    static std::shared_ptr<EventStream> open(const tmux::Socket& socket, const std::optional<std::string>& session,
                                             bool output, Listener listener = nullptr);
    ~EventStream();
    EventStream(const EventStream&) = delete;
    EventStream& operator=(const EventStream&) = delete;

    enum class Got { kEvent, kNothing, kEnd };
    // The next event, waiting for it until the deadline without the interpreter's lock (a
    // deadline already past takes only what is queued); kEnd once the stream has ended and
    // everything queued is taken. Taking a "pause" tells tmux to resume that pane. Throws
    // runner::Interrupted when the interrupt check asks to stop.
    Got next(Clock::time_point deadline, Event& event);
    // Polls readable while an event is queued or the stream has ended.
    int descriptor() const noexcept { return ready_.get(); }
    // Sends the client a tmux command, whose answer is passed over.
    void request(const std::vector<std::string>& words) noexcept;
    // Ends the client and waits for it; what is queued is dropped.
    void close() noexcept;
    // Whether the client still runs.
    bool running() const noexcept { return !ended_; }
    pid_t pid() const noexcept { return pid_; }
    // The key of its server's channel.
    const std::string& key() const noexcept { return key_; }
    const std::string& session_id() const noexcept { return session_id_; }
    // For a process made by fork: lets go of everything without touching the parent's client;
    // the object must then never be destroyed.
    void forsake() noexcept;

private:
    EventStream(std::string key, Attached attached, Listener listener) noexcept;
    void read_on() noexcept;
    void deliver(Event event);
    // Whether the queue holds so much that output is refused.
    bool over_limit();
    // Queues the event (or hands it to the listener); with the queue's lock not held.
    void push(Event event);
    // Marks the end for the reader, once its client is done.
    void ended() noexcept;
    Got take(Event& event);

    std::string key_;
    Protocol protocol_;
    pid_t pid_;
    std::string session_id_;
    Listener listener_;
    OutputText text_;
    // Panes whose output tmux has paused, or been asked to pause (the reader's own).
    std::set<std::string> paused_;

    std::mutex queue_mutex_;
    std::deque<Event> queue_;
    std::size_t queued_bytes_ = 0;
    std::atomic<bool> ended_{false};
    // Readable while an event is queued or the stream has ended.
    runner::Fd ready_;
    // Wakes the reader: to stop, or when the queue has room again.
    runner::Fd wake_;
    // Writes to the client, and the reader's last act on it.
    std::mutex client_mutex_;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
    const pid_t owner_ = ::getpid();
};

// The processes and sessions of this process's live streams on the server (by its channel
// key), for results that leave the module's own clients out.
struct OwnClient {
    pid_t pid;
    std::string session_id;
};
std::vector<OwnClient> stream_clients(const std::string& key);

// Closes every stream; for the interpreter's exit.
void close_all_streams() noexcept;

}  // namespace vordalin::channel
