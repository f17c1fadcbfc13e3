#include "channel/events.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <array>
#include <chrono>
#include <cstdint>

#include "channel/quote.hpp"
#include "channel/registry.hpp"
#include "runner/process.hpp"
#include "runner/quiet_thread.hpp"
#include "runner/spin_lock.hpp"
#include "runner/wait.hpp"
#include "text/text.hpp"

namespace vordalin::channel {

namespace {

// How much the queue holds before a pane's further output is refused: the reader asks tmux to
// pause the pane, and drops what comes until tmux says it has.
constexpr std::size_t kQueueLimit = 2 * 1024 * 1024;
// How much it holds before the reader stops taking what tmux writes at all: only a flood of
// notifications gets there (a window renamed in a loop). tmux then holds back the rest, and
// stops reading the session's panes.
constexpr std::size_t kQueueHardLimit = 4 * kQueueLimit;
// What each event costs in the queue beyond its text.
constexpr std::size_t kEventCost = 128;
// Output of one pane that follows output of the same pane in the queue joins it, up to this.
constexpr std::size_t kJoinLimit = 64 * 1024;
// Seconds that a pane's output may wait for the stream before tmux pauses it (tmux's unit).
constexpr const char* kPauseAfter = "pause-after=1";
constexpr int kCloseLimitMs = 500;

// tmux writes each byte below a blank, and the backslash, as a backslash and three octal digits.
std::string unescape(std::string_view escaped) {
    std::string bytes;
    bytes.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        char c = escaped[i];
        if (c == '\\' && i + 3 < escaped.size()) {
            auto digit = [&](std::size_t at) { return escaped[at] >= '0' && escaped[at] <= '7'; };
            if (digit(i + 1) && digit(i + 2) && digit(i + 3)) {
                bytes += static_cast<char>(((escaped[i + 1] - '0') << 6) | ((escaped[i + 2] - '0') << 3) |
                                           (escaped[i + 3] - '0'));
                i += 3;
                continue;
            }
        }
        bytes += c;
    }
    return bytes;
}

bool is_id(std::string_view word, char sigil) {
    if (word.size() < 2 || word[0] != sigil) {
        return false;
    }
    return word.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

// Cuts the first word off `rest`.
std::string_view next_word(std::string_view& rest) {
    std::size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
    return word;
}

// Notifications whose words after the ids are a name.
constexpr std::array<std::string_view, 6> kNamed{"window-renamed",  "unlinked-window-renamed", "session-renamed",
                                                 "session-changed", "client-session-changed",  "subscription-changed"};

// The length of the UTF-8 character that `lead` starts; 0 for a byte that starts none.
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// Where the character cut off at the end of `bytes` starts; the size when none is cut off.
std::size_t cut_character(std::string_view bytes) {
    std::size_t size = bytes.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80) {
            continue;
        }
        std::size_t length = sequence_length(byte);
        return length > back ? size - back : size;
    }
    return size;
}

// A notification's words after its name, with the ids it starts with taken out.
void take_ids(Event& event, std::string_view& rest) {
    for (;;) {
        std::string_view before = rest;
        std::string_view word = next_word(rest);
        if (is_id(word, '$') && !event.session_id) {
            event.session_id = std::string(word);
        } else if (is_id(word, '@') && !event.window_id) {
            event.window_id = std::string(word);
        } else if (is_id(word, '%') && !event.pane_id) {
            event.pane_id = std::string(word);
        } else {
            rest = before;
            return;
        }
    }
}

}  // namespace

std::optional<Event> read_notification(std::string_view line) {
    if (line.size() < 2 || line[0] != '%') {
        return std::nullopt;
    }
    std::string_view rest = line.substr(1);
    Event event;
    event.kind = std::string(next_word(rest));
    if (event.kind == "output" || event.kind == "extended-output") {
        bool extended = event.kind == "extended-output";
        event.kind = "output";
        std::string_view pane = next_word(rest);
        if (!is_id(pane, '%')) {
            return std::nullopt;
        }
        event.pane_id = std::string(pane);
        if (extended) {
            // "%extended-output %N AGE ... : DATA": further words may come before the colon.
            std::size_t colon = rest.find(" : ");
            if (colon == std::string_view::npos) {
                return std::nullopt;
            }
            rest.remove_prefix(colon + 3);
        }
        event.text = unescape(rest);
        return event;
    }
    if (event.kind == "subscription-changed") {
        // "%subscription-changed NAME $S @W INDEX %P ... : VALUE"
        event.name = text::decode_lossy(next_word(rest));
        take_ids(event, rest);
        std::size_t colon = rest.find(": ");
        if (colon != std::string_view::npos) {
            event.text = text::decode_lossy(rest.substr(colon + 2));
        } else if (rest == ":") {
            event.text = std::string();
        }
        std::string_view words = rest.substr(0, colon);
        while (!words.empty() && !event.pane_id) {
            take_ids(event, words);
            next_word(words);
        }
        return event;
    }
    if (event.kind == "client-session-changed") {
        next_word(rest);  // the client's name
    }
    take_ids(event, rest);
    for (std::string_view named : kNamed) {
        if (event.kind == named) {
            event.name = text::decode_lossy(rest);
        }
    }
    return event;
}

std::string OutputText::decode(const std::string& pane, std::string bytes) {
    auto held = held_.find(pane);
    if (held != held_.end()) {
        bytes.insert(0, held->second);
        held_.erase(held);
    }
    std::size_t cut = cut_character(bytes);
    if (cut < bytes.size()) {
        held_.emplace(pane, bytes.substr(cut));
        bytes.resize(cut);
    }
    return text::decode_lossy(std::move(bytes));
}

std::optional<std::string> OutputText::flush(const std::string& pane) {
    auto held = held_.find(pane);
    if (held == held_.end()) {
        return std::nullopt;
    }
    std::string text = text::decode_lossy(held->second);
    held_.erase(held);
    return text;
}

std::vector<std::string> OutputText::panes() const {
    std::vector<std::string> panes;
    for (const auto& [pane, bytes] : held_) {
        panes.push_back(pane);
    }
    return panes;
}

namespace {

// The live streams of this process, for the lists that leave the module's clients out, for a
// fork and for the interpreter's exit.
struct Streams {
    runner::SpinLock lock;
    std::vector<std::weak_ptr<EventStream>> all;
};

Streams* g_streams = nullptr;

// A child made by fork keeps its parent's streams for ever and never touches their clients.
void forsake_in_child() noexcept {
    Streams* inherited = g_streams;
    inherited->lock.unlock();
    g_streams = new Streams;
    for (const std::weak_ptr<EventStream>& each : inherited->all) {
        if (std::shared_ptr<EventStream> stream = each.lock()) {
            stream->forsake();
            new std::shared_ptr<EventStream>(std::move(stream));  // never destroyed
        }
    }
}

Streams& streams() {
    static const bool made = [] {
        g_streams = new Streams;  // never destroyed: the interpreter's exit closes the streams
        ::pthread_atfork([] { g_streams->lock.lock(); }, [] { g_streams->lock.unlock(); }, forsake_in_child);
        return true;
    }();
    static_cast<void>(made);
    return *g_streams;
}

std::vector<std::shared_ptr<EventStream>> live_streams() {
    Streams& registry = streams();
    std::vector<std::shared_ptr<EventStream>> live;
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    std::erase_if(registry.all, [](const std::weak_ptr<EventStream>& each) { return each.expired(); });
    for (const std::weak_ptr<EventStream>& each : registry.all) {
        if (std::shared_ptr<EventStream> stream = each.lock()) {
            live.push_back(std::move(stream));
        }
    }
    return live;
}

// Makes `session` the most recently active again: a control client attaches there and leaves
// once it is attached.
void touch_session(const tmux::Socket& socket, const std::string& session) {
    if (std::optional<Attached> touching = attach_control_client(socket, session, "no-output,ignore-size")) {
        touching->protocol.conversation().finish(kCloseLimitMs);
    }
}

void signal_fd(int fd) noexcept {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd, &one, sizeof one);
}

void drain_fd(int fd) noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(fd, &count, sizeof count);
}

}  // namespace

EventStream::EventStream(std::string key, Attached attached, Listener listener) noexcept
    : key_(std::move(key)),
      protocol_(std::move(attached.protocol)),
      pid_(attached.pid),
      session_id_(protocol_.session_id()),
      listener_(std::move(listener)),
      ready_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

std::shared_ptr<EventStream> EventStream::open(const tmux::Socket& socket, const std::optional<std::string>& wanted,
                                               bool output, Listener listener) {
    std::optional<std::string> current = registry::current_session(socket);
    if (!wanted && !current) {
        return nullptr;
    }
    const std::string& session = wanted ? *wanted : *current;
    // ignore-size: the stream sizes no window; without output, tmux sends it none at all.
    std::string flags = output ? std::string("ignore-size,") + kPauseAfter : "ignore-size,no-output";
    std::optional<Attached> attached = attach_control_client(socket, session, flags);
    if (!attached) {
        return nullptr;
    }
    if (current && *current != session) {
        touch_session(socket, *current);
    }
    std::shared_ptr<EventStream> stream(
        new EventStream(registry::key_of(socket), std::move(*attached), std::move(listener)));
    if (!stream->ready_.valid() || !stream->wake_.valid()) {
        return nullptr;
    }
    stream->reader_ = runner::quiet_thread([raw = stream.get()] { raw->read_on(); });
    Streams& registry = streams();
    std::lock_guard<runner::SpinLock> hold(registry.lock);
    registry.all.push_back(stream);
    return stream;
}

EventStream::~EventStream() {
    close();
}

void EventStream::read_on() noexcept {
    int output = protocol_.conversation().output_fd();
    try {
        while (!stopping_) {
            bool room = false;
            {
                std::lock_guard<std::mutex> hold(queue_mutex_);
                room = queued_bytes_ < kQueueHardLimit;
            }
            if (room) {
                if (std::optional<std::string> line = protocol_.notification(Clock::time_point::min())) {
                    if (std::optional<Event> event = read_notification(*line)) {
                        deliver(std::move(*event));
                    }
                    continue;
                }
            }
            std::array<pollfd, 2> watch{{{wake_.get(), POLLIN, 0}, {room ? output : -1, POLLIN, 0}}};
            if (::poll(watch.data(), watch.size(), -1) < 0 && errno != EINTR) {
                break;
            }
            if (watch[0].revents != 0) {
                drain_fd(wake_.get());
            }
        }
    } catch (...) {
        // Ended: the client has gone (the server's end, or its session's); or it cannot be read.
    }
    ended();
}

bool EventStream::over_limit() {
    std::lock_guard<std::mutex> hold(queue_mutex_);
    return !listener_ && queued_bytes_ >= kQueueLimit;
}

void EventStream::deliver(Event event) {
    const std::string* pane = event.pane_id ? &*event.pane_id : nullptr;
    bool paned = event.kind == "output" || event.kind == "pause" || event.kind == "continue";
    if (paned && pane == nullptr) {
        return;  // no such line comes from tmux
    }
    if (event.kind == "pause") {
        paused_.insert(*pane);
    } else if (event.kind == "continue") {
        paused_.erase(*pane);
    }
    if (event.kind == "output") {
        // tmux stops a pane's output to a client that falls behind only once it has grown old
        // in the server, and stops reading every pane of the session meanwhile; the reader
        // keeps taking it instead, and pauses the pane itself. What comes before tmux says
        // "%pause" is dropped: the pause event stands in its place.
        if (paused_.contains(*pane)) {
            return;
        }
        if (over_limit()) {
            paused_.insert(*pane);
            text_.flush(*pane);
            request({"refresh-client", "-A", *pane + ":pause"});
            return;
        }
        event.text = text_.decode(*pane, std::move(*event.text));
        if (event.text->empty()) {
            return;
        }
    } else if (event.kind == "pause" || event.kind == "exit") {
        // The rest of a character held back will not come now.
        for (const std::string& pane : text_.panes()) {
            if (event.kind == "exit" || event.pane_id == pane) {
                push(Event{"output", std::nullopt, std::nullopt, pane, std::nullopt, text_.flush(pane)});
            }
        }
    }
    push(std::move(event));
}

void EventStream::push(Event event) {
    if (listener_) {
        listener_(event);
        return;
    }
    std::lock_guard<std::mutex> hold(queue_mutex_);
    if (!queue_.empty()) {
        Event& last = queue_.back();
        if (event.kind == "output" && last.kind == "output" && last.pane_id == event.pane_id &&
            last.text->size() < kJoinLimit) {
            *last.text += *event.text;
            queued_bytes_ += event.text->size();
            return;
        }
    }
    queued_bytes_ += kEventCost + (event.text ? event.text->size() : 0);
    queue_.push_back(std::move(event));
    if (queue_.size() == 1) {
        signal_fd(ready_.get());
    }
}

void EventStream::ended() noexcept {
    {
        std::lock_guard<std::mutex> client(client_mutex_);
        runner::Conversation& conversation = protocol_.conversation();
        // The client leaves once its input ends; what it still writes is read and dropped, for
        // a moment at most, so that it cannot block on a full pipe meanwhile.
        conversation.hang_up();
        auto limit = Clock::now() + std::chrono::milliseconds(kCloseLimitMs);
        try {
            std::string dropped;
            for (auto now = Clock::now(); conversation.running() && now < limit; now = Clock::now()) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now).count();
                pollfd output{conversation.output_fd(), POLLIN, 0};
                if (::poll(&output, 1, static_cast<int>(left) + 1) == 0) {
                    break;
                }
                dropped.clear();
                if (conversation.read(dropped, Clock::time_point::min()) == runner::Conversation::Got::kEnd) {
                    break;
                }
            }
        } catch (...) {
            // It cannot be read: it is killed below all the same.
        }
        conversation.kill();
    }
    ended_ = true;
    // Stays readable from now on: every wait finds the end.
    signal_fd(ready_.get());
    if (listener_) {
        listener_(Event{"exit", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
    }
}

void EventStream::request(const std::vector<std::string>& words) noexcept {
    std::lock_guard<std::mutex> hold(client_mutex_);
    if (protocol_.conversation().running()) {
        try {
            protocol_.conversation().write(command_line(words) + '\n');
        } catch (...) {
            // The client has gone (the reader finds its end), or no memory for the line.
        }
    }
}

EventStream::Got EventStream::take(Event& event) {
    {
        std::lock_guard<std::mutex> hold(queue_mutex_);
        if (queue_.empty()) {
            return ended_ ? Got::kEnd : Got::kNothing;
        }
        bool full = queued_bytes_ >= kQueueHardLimit;
        event = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= kEventCost + (event.text ? event.text->size() : 0);
        if (queue_.empty() && !ended_) {
            drain_fd(ready_.get());
        }
        if (full && queued_bytes_ < kQueueHardLimit) {
            signal_fd(wake_.get());
        }
    }
    if (event.kind == "pause" && event.pane_id) {
        request({"refresh-client", "-A", *event.pane_id + ":continue"});
    }
    return Got::kEvent;
}

EventStream::Got EventStream::next(Clock::time_point deadline, Event& event) {
    for (;;) {
        Got got = take(event);
        if (got != Got::kNothing) {
            return got;
        }
        pollfd ready{ready_.get(), POLLIN, 0};
        if (runner::wait_readable({&ready, 1}, deadline) == 0) {
            return take(event);
        }
    }
}

void EventStream::close() noexcept {
    if (::getpid() != owner_) {
        return;
    }
    stopping_ = true;
    if (reader_.joinable()) {
        signal_fd(wake_.get());
        reader_.join();
    }
    std::lock_guard<std::mutex> hold(queue_mutex_);
    queue_.clear();
    queued_bytes_ = 0;
}

void EventStream::forsake() noexcept {
    stopping_ = true;
    ended_ = true;
    protocol_.conversation().abandon();
}

std::vector<OwnClient> stream_clients(const std::string& key) {
    std::vector<OwnClient> clients;
    for (const std::shared_ptr<EventStream>& stream : live_streams()) {
        if (stream->key() == key && stream->running()) {
            clients.push_back({stream->pid(), stream->session_id()});
        }
    }
    return clients;
}

void close_all_streams() noexcept {
    for (const std::shared_ptr<EventStream>& stream : live_streams()) {
        stream->close();
    }
}

}  // namespace vordalin::channel
