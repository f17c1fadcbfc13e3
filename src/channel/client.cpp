#include "channel/client.hpp"

#include <linux/futex.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "runner/child.hpp"
#include "runner/quiet_thread.hpp"
#include "runner/wait.hpp"

namespace vordalin::channel {

namespace {

// How long a connect may take to see its client attached.
constexpr auto kAttachTimeout = std::chrono::seconds(10);
// How often the idle channel looks for what tmux wrote: soon again while tmux keeps
// writing, otherwise seldom.
constexpr int kIdlePeriodMs = 100;
constexpr int kBusyPeriodMs = 10;
// How long a client told to go may take before it is killed: one whose session's panes keep
// tmux writing (renames, say) may never finish what tmux has for it.
constexpr int kCloseLimitMs = 500;

}  // namespace

namespace {

static_assert(std::atomic<std::uint32_t>::is_always_lock_free && sizeof(std::atomic<std::uint32_t>) == 4);

// Sleeps while `word` still holds `seen`, a moment at most: a futex, so that neither the clock
// of a condition variable nor the C library version it needs matters.
void sleep_while(std::atomic<std::uint32_t>& word, std::uint32_t seen) noexcept {
    timespec limit{0, runner::kCheckIntervalMs * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, &limit, nullptr, 0);
}

void wake_all(std::atomic<std::uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

Turn::Taken Turn::take() {
    std::thread::id me = std::this_thread::get_id();
    for (;;) {
        std::uint32_t seen = 0;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (!taken_) {
                taken_ = true;
                holder_ = me;
                return Taken::kYes;
            }
            if (holder_ == me) {
                return Taken::kHeldHere;
            }
            seen = given_.load();
            ++waiting_;
        }
        runner::without_lock([&]() noexcept {
            sleep_while(given_, seen);
            return --waiting_;
        });
        if (runner::interrupt_requested()) {
            throw runner::Interrupted{};
        }
    }
}

bool Turn::try_take() noexcept {
    std::lock_guard<std::mutex> hold(mutex_);
    if (taken_) {
        return false;
    }
    taken_ = true;
    holder_ = std::this_thread::get_id();
    return true;
}

void Turn::give() noexcept {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        taken_ = false;
        given_.fetch_add(1);
    }
    if (waiting_ > 0) {
        wake_all(given_);
    }
}

namespace {

// Gives the turn back on every way out.
struct Holding {
    Turn& turn;
    ~Holding() { turn.give(); }
};

}  // namespace

std::optional<Attached> attach_control_client(const tmux::Socket& socket, const std::string& session,
                                              const std::string& flags) {
    std::vector<std::string> argv = tmux::client_argv(socket);
    // -E: the server's update-environment is not applied for us.
    argv.insert(argv.end(), {"-C", "attach-session", "-t", session, "-E", "-f", flags});
    std::string failure;
    std::optional<runner::Conversation> started = runner::Conversation::start(
        tmux::where_the_server_is(socket, std::move(argv), tmux::SshInput::kForwarded), failure);
    if (!started) {
        return std::nullopt;
    }
    pid_t pid = started->pid();
    Attached attached{Protocol(std::move(*started)), pid};
    try {
        if (!attached.protocol.attached(Clock::now() + kAttachTimeout)) {
            return std::nullopt;
        }
        // Our process is ssh; the client tmux lists is its remote program.
        if (socket.remote) {
            bool sent = false;
            runner::Result asked =
                *attached.protocol.answer({{{"display-message", "-p", "#{client_pid}"}}, true, std::nullopt}, sent);
            std::string_view shown = asked.out.view();
            attached.pid = asked.ok() ? static_cast<pid_t>(std::atoi(std::string(shown).c_str())) : 0;
        }
    } catch (const Ended&) {
        return std::nullopt;
    } catch (const Stray&) {
        return std::nullopt;
    }
    return attached;
}

std::shared_ptr<Client> Client::open(const tmux::Socket& socket, const std::string& session,
                                     std::optional<RemotePlace> place) {
    // no-output: no %output lines for what panes print; ignore-size: our client does not size
    // any window.
    std::optional<Attached> attached = attach_control_client(socket, session, "no-output,ignore-size");
    if (!attached) {
        return nullptr;
    }
    std::shared_ptr<Client> client(new Client(std::move(*attached)));
    client->place_ = std::move(place);
    // Without a directory for captures the channel still serves everything else. tmux on a
    // remote host would write the file there, and reading it back costs the round trip that a
    // capture run as a process over the shared connection costs: those run as processes.
    if (!socket.remote) {
        client->captures_ = Captures::make();
    }
    client->wake_ = runner::Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (client->wake_.valid()) {
        client->drain_ = runner::quiet_thread([raw = client.get()] { raw->drain_while_idle(); });
    }
    return client;
}

Client::~Client() {
    stopping_ = true;
    if (drain_.joinable()) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
        drain_.join();
    }
    end();
}

void Client::end() noexcept {
    alive_ = false;
    protocol_.conversation().kill();
    captures_.reset();
}

void Client::drain_while_idle() noexcept {
    int period = kIdlePeriodMs;
    while (!stopping_) {
        pollfd wake{wake_.get(), POLLIN, 0};
        ::poll(&wake, 1, period);
        if (stopping_ || !alive_) {
            return;
        }
        if (!turn_.try_take()) {
            period = kBusyPeriodMs;
            continue;
        }
        bool wrote = false;
        try {
            pollfd output{protocol_.conversation().output_fd(), POLLIN, 0};
            wrote = ::poll(&output, 1, 0) > 0;
            // A line that control mode does not write between blocks: out of step.
            if (wrote && protocol_.settle()) {
                end();
            }
        } catch (...) {
            end();  // the client has gone, or its output cannot be read
        }
        turn_.give();
        period = wrote ? kBusyPeriodMs : kIdlePeriodMs;
    }
}

std::optional<runner::Result> Client::run(const Request& request, const tmux::Traits& traits, bool& lost) {
    lost = false;
    if (turn_.take() != Turn::Taken::kYes) {
        return std::nullopt;
    }
    Holding holding{turn_};
    if (!alive_) {
        return std::nullopt;
    }
    bool sent = false;
    try {
        if (traits.captures) {
            return captures_ ? captures_->capture(protocol_, request.commands.front(), sent) : std::nullopt;
        }
        return protocol_.answer(request, sent);
    } catch (const Ended& ended) {
        sent = sent && !ended.before_answering;
    } catch (const Stray&) {
    } catch (...) {
        end();  // Ctrl-C, or a failure of our own: out of step either way
        throw;
    }
    end();
    lost = sent;
    return std::nullopt;
}

bool Client::alive() {
    if (alive_ && turn_.try_take()) {
        Holding holding{turn_};
        try {
            if (protocol_.settle()) {
                end();
            }
        } catch (...) {
            end();
        }
    }
    return alive_;
}

void Client::close() {
    if (!turn_.try_take()) {
        drop();
        return;
    }
    Holding holding{turn_};
    if (alive_) {
        alive_ = false;
        try {
            protocol_.conversation().finish(kCloseLimitMs);
        } catch (...) {
            end();
            throw;
        }
    }
    end();
}

void Client::drop() noexcept {
    if (turn_.try_take()) {
        end();
        turn_.give();
        return;
    }
    // A call holds the turn (further up this thread, or on another): telling the client to go
    // makes that call find its end, and it lets go of the rest.
    alive_ = false;
    protocol_.conversation().hang_up();
}

void Client::forsake() noexcept {
    stopping_ = true;
    alive_ = false;
    protocol_.conversation().abandon();
    if (captures_) {
        captures_->forsake();
    }
    wake_.reset();
}

std::string Client::session_id() {
    Turn::Taken taken = turn_.take();
    if (taken == Turn::Taken::kYes) {
        Holding holding{turn_};
        return protocol_.session_id();
    }
    return protocol_.session_id();  // this thread holds the turn: nothing changes it meanwhile
}

}  // namespace vordalin::channel
