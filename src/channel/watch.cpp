#include "channel/watch.hpp"

#include <poll.h>
#include <sys/eventfd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "channel/channel.hpp"
#include "channel/events.hpp"
#include "channel/registry.hpp"
#include "runner/fd.hpp"
#include "runner/process.hpp"

namespace vordalin::channel {

namespace {

class PaneWatch;

// One event stream with output, on one session of a server, shared by every watch on that
// session's panes: its listener wakes each watch that an event may concern.
struct Shared {
    std::mutex mutex;
    std::vector<PaneWatch*> watches;
    // Last, so that it goes first: its reader calls the listener until then.
    std::shared_ptr<EventStream> stream;
};

// A session's stream stays while the server's channel is in use, so that the next wait on one
// of its panes starts nothing; disconnect() ends it (forget_watch_streams).
std::mutex g_mutex;
std::map<std::string, std::shared_ptr<Shared>> g_shared;

class PaneWatch final : public Watch {
public:
    PaneWatch(std::shared_ptr<Shared> shared, std::string pane_id, runner::Fd ready)
        : shared_(std::move(shared)), pane_id_(std::move(pane_id)), ready_(std::move(ready)) {}

    ~PaneWatch() override {
        std::lock_guard<std::mutex> hold(shared_->mutex);
        std::erase(shared_->watches, this);
    }

    bool changed(runner::Clock::time_point deadline) override {
        pollfd ready{ready_.get(), POLLIN, 0};
        if (runner::wait_readable({&ready, 1}, deadline) == 0) {
            return false;
        }
        // The end of the stream stays: every later call finds it at once.
        if (!ended_) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t got = ::read(ready_.get(), &count, sizeof count);
        }
        return true;
    }

    int descriptor() const override { return ready_.get(); }

    // On the stream's reader: wakes the watch for anything that may concern its pane. Output,
    // pauses and subscriptions name the pane they concern; every other notification is rare.
    void offer(const Event& event) noexcept {
        bool paned = event.kind == "output" || event.kind == "pause" || event.kind == "continue" ||
                     event.kind == "subscription-changed";
        if (paned && event.pane_id != pane_id_) {
            return;
        }
        if (event.kind == "exit") {
            ended_ = true;
        }
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(ready_.get(), &one, sizeof one);
    }

private:
    std::shared_ptr<Shared> shared_;
    std::string pane_id_;
    runner::Fd ready_;
    std::atomic<bool> ended_{false};
};

// The id of the session that the pane's window is in, asked over the channel when it is open.
std::optional<std::string> session_of(const tmux::Socket& socket, const std::string& pane_id) {
    tmux::Command asking{socket, {"display-message", "-p", "-t", pane_id, "#{session_id}"}, {}, std::nullopt, false,
                         {}};
    asking.traits.exact = true;
    asking.traits.reads_only = true;
    std::optional<runner::Result> answer;
    try {
        answer = run(asking, true);
    } catch (const UnknownEffect&) {
    }
    if (!answer) {
        answer = runner::run(tmux::process_argv(asking),
                             {runner::Input::kNull, runner::Output::kCapture, runner::Output::kNull});
    }
    return registry::session_id_in(*answer);
}

// The session's shared stream, started when no live one is there. Starting one waits for tmux
// without the interpreter's lock, so no lock of ours is held meanwhile: of two started at once,
// the first one stored stays.
std::shared_ptr<Shared> shared_stream(const tmux::Socket& socket, const std::string& session) {
    std::string key = registry::key_of(socket) + '\0' + session;
    auto live = [&]() -> std::shared_ptr<Shared> {
        auto found = g_shared.find(key);
        return found != g_shared.end() && found->second->stream->running() ? found->second : nullptr;
    };
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (std::shared_ptr<Shared> shared = live()) {
            return shared;
        }
    }
    auto made = std::make_shared<Shared>();
    made->stream = EventStream::open(socket, session, true, [raw = made.get()](const Event& event) {
        std::lock_guard<std::mutex> watching(raw->mutex);
        for (PaneWatch* watch : raw->watches) {
            watch->offer(event);
        }
    });
    if (!made->stream) {
        return nullptr;
    }
    // tmux tells of a program's exit in a pane it keeps (remain-on-exit) only through a
    // subscription, which it looks at once a second; one for every pane of the session.
    made->stream->request({"refresh-client", "-B", "vordalin-dead:%*:#{pane_dead}"});
    std::shared_ptr<Shared> ended;  // a stream that ended goes after the lock is let go
    std::lock_guard<std::mutex> hold(g_mutex);
    if (std::shared_ptr<Shared> shared = live()) {
        return shared;
    }
    if (auto found = g_shared.find(key); found != g_shared.end()) {
        ended = std::move(found->second);
    }
    g_shared[key] = made;
    return made;
}

}  // namespace

void forget_watch_streams(const tmux::Socket& socket) {
    std::string prefix = registry::key_of(socket) + '\0';
    std::vector<std::shared_ptr<Shared>> streams;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        for (auto at = g_shared.lower_bound(prefix); at != g_shared.end() && at->first.starts_with(prefix);) {
            streams.push_back(std::move(at->second));
            at = g_shared.erase(at);
        }
    }
}

std::unique_ptr<Watch> watch_pane(const tmux::Socket& socket, const std::string& pane_id) {
    if (!registry::in_use(registry::key_of(socket))) {
        return nullptr;
    }
    std::optional<std::string> session = session_of(socket, pane_id);
    std::shared_ptr<Shared> shared = session ? shared_stream(socket, *session) : nullptr;
    runner::Fd ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!shared || !ready.valid()) {
        return nullptr;
    }
    auto watch = std::make_unique<PaneWatch>(shared, pane_id, std::move(ready));
    {
        std::lock_guard<std::mutex> hold(shared->mutex);
        shared->watches.push_back(watch.get());
    }
    if (!shared->stream->running()) {
        watch->offer(Event{"exit", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    }
    return watch;
}

}  // namespace vordalin::channel
