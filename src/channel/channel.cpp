#include "channel/channel.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "channel/quote.hpp"
#include "runner/conversation.hpp"
#include "runner/fd.hpp"
#include "runner/spin_lock.hpp"

namespace vordalin::channel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kSwitch = "VORDALIN_CHANNEL";
// How long a connect may take to see its client attached, and a capture its file written.
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr auto kFileTimeout = std::chrono::seconds(10);
// How long the interpreter's exit waits for each channel's client to go.
constexpr int kExitLimitMs = 2000;

// The commands that answer at once, and so may go over the channel, and which of them only
// read (those may run again as a process when the channel ends before answering).
const std::set<std::string_view> kReading{"has-session",     "list-sessions", "list-windows", "list-panes",
                                          "display-message", "capture-pane",  "show-options"};
const std::set<std::string_view> kChanging{
    "kill-server",    "kill-session",  "kill-window",   "kill-pane",   "select-window",  "select-pane",
    "rename-session", "rename-window", "clear-history", "send-keys",   "split-window",   "resize-pane",
    "respawn-pane",   "new-session",   "new-window",    "next-window", "previous-window"};
// The few that name no target and still act on no session: the rest without -t would act on
// the channel's own session, so they never go over it.
const std::set<std::string_view> kUntargeted{"list-sessions", "new-session", "kill-server"};
// The commands that start a program in the client's directory, which over the channel would
// be the channel's session's: they get the caller's, as a process of ours would.
const std::set<std::string_view> kStarting{"new-session", "new-window", "split-window"};

bool has(const Words& words, std::string_view word) {
    for (const std::string& each : words) {
        if (each == word) {
            return true;
        }
    }
    return false;
}

// A command that prints nothing: a listing whose filter is the constant false ("-f 0"),
// which only checks that its target exists.
bool silent(const Words& words) {
    for (std::size_t i = 1; i + 1 < words.size(); ++i) {
        if (words[i] == "-f" && words[i + 1] == "0") {
            return true;
        }
    }
    return false;
}

bool for_the_channel(const Words& words) {
    if (words.empty() || (!kReading.contains(words[0]) && !kChanging.contains(words[0]))) {
        return false;
    }
    // A NUL cannot reach tmux either way; as a process the command is refused with the
    // runner's own words.
    for (const std::string& word : words) {
        if (word.find('\0') != std::string::npos) {
            return false;
        }
    }
    bool listing_all = (words[0] == "list-windows" || words[0] == "list-panes") && has(words, "-a");
    return has(words, "-t") || listing_all || kUntargeted.contains(words[0]);
}

bool only_reads(const Request& request) {
    for (const Words& words : request.commands) {
        if (!kReading.contains(words[0])) {
            return false;
        }
    }
    return true;
}

bool switch_on() {
    const char* value = std::getenv(kSwitch);
    return value != nullptr && std::string_view(value) == "1";
}

// Channels are known by the server's socket path, resolved: the default server by the path
// tmux gives its socket, and a path by its directory's real path.
std::string key_of(const Socket& socket) {
    std::string path;
    if (socket) {
        path = *socket;
    } else {
        const char* directory = std::getenv("TMUX_TMPDIR");
        path = std::string(directory != nullptr && *directory != '\0' ? directory : "/tmp") + "/tmux-" +
               std::to_string(::getuid()) + "/default";
    }
    std::size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(directory.c_str(), resolved.data()) == nullptr) {
        return path;
    }
    return std::string(resolved.data()) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

std::string random_token() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += kHex[byte >> 4];
        token += kHex[byte & 15];
    }
    return token;
}

// "%begin TIME NUMBER FLAGS" and the like: the three numbers, when the line is one.
std::optional<std::string_view> guard_of(std::string_view line, std::string_view word) {
    if (!line.starts_with(word) || line.size() <= word.size() || line[word.size()] != ' ') {
        return std::nullopt;
    }
    std::string_view numbers = line.substr(word.size() + 1);
    int fields = 1;
    for (char c : numbers) {
        if (c == ' ') {
            ++fields;
        } else if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    if (fields != 3 || numbers.front() == ' ' || numbers.back() == ' ' ||
        numbers.find("  ") != std::string_view::npos) {
        return std::nullopt;
    }
    return numbers;
}

bool from_a_hook(std::string_view guard) {
    return guard.ends_with(" 0");
}

// A line that control mode writes between blocks on its own: "%window-add @1" and the like.
bool is_notification(std::string_view line) {
    if (line.size() < 2 || line[0] != '%' || line[1] < 'a' || line[1] > 'z') {
        return false;
    }
    return !guard_of(line, "%begin") && !guard_of(line, "%end") && !guard_of(line, "%error");
}

// "%exit", with or without a reason: the client is leaving.
bool is_exit(std::string_view line) {
    return line == "%exit" || line.starts_with("%exit ");
}

// The client went away: end of file, or "%exit". A client that said "%exit" before it began
// to answer a request has not run it: it runs nothing once it has left.
struct Ended {
    bool before_answering = false;
};
struct Stray {};  // a line outside a block that control mode does not write there

class Channel {
public:
    static std::unique_ptr<Channel> open(const Socket& socket);

    ~Channel() { remove_directory(); }

    // The request's answer; throws Ended or Stray when the channel is no longer usable, with
    // `sent` telling whether the request had reached the client by then.
    runner::Result answer(const Request& request, bool& sent);
    // Tells the client to go and waits for it; with a limit, one that is not gone by then is
    // killed (the interpreter's exit must not wait on a server that does not answer).
    void close(int limit_ms = -1) {
        conversation_.finish(limit_ms);
        remove_directory();
    }
    void drop() noexcept {
        conversation_.kill();
        remove_directory();
    }
    void abandon() noexcept { conversation_.abandon(); }

    // Held while a call waits on the channel: a call made meanwhile (from a signal handler
    // further up the same thread) finds it taken and runs as a process.
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    const pid_t owner = ::getpid();
    std::string session_id;

private:
    explicit Channel(runner::Conversation conversation) : conversation_(std::move(conversation)) {}

    const std::string& line(std::size_t at);
    void consume(std::size_t up_to);
    // Takes in what the client wrote since the last answer without waiting: throws Ended when
    // it has gone and Stray when it wrote a line that is no notification; otherwise the
    // first such line is returned when `keep` allows one (save-buffer's late complaint).
    std::optional<std::string> settle(bool keep);
    std::size_t next_begin(std::size_t at);
    std::optional<std::size_t> nonce_block(std::size_t at, const std::string& nonce);
    std::size_t read_block(std::size_t at, std::vector<std::string>& data, bool& failed, const std::string* nonce);
    runner::Result capture(const Words& words, bool& sent);
    bool closed_after_writing(const std::string& name);
    void adapt(Words& words) const;
    void remove_directory() noexcept;

    runner::Conversation conversation_;
    std::string pending_;
    std::vector<std::string> lines_;
    std::vector<std::string> update_environment_;
    // Whether the client has begun to answer the request now sent.
    bool answering_ = false;
    std::string directory_;
    // Watches the capture directory for files closed after writing.
    runner::Fd watch_;
    unsigned captures_ = 0;
};

// The line at index `at`, reading until it has arrived.
const std::string& Channel::line(std::size_t at) {
    while (lines_.size() <= at) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            lines_.emplace_back(pending_, 0, end);
            pending_.erase(0, end + 1);
            continue;
        }
        if (!conversation_.read(pending_)) {
            throw Ended{};
        }
    }
    return lines_[at];
}

// Lines before `up_to` are done with: notifications among them take effect.
void Channel::consume(std::size_t up_to) {
    for (std::size_t i = 0; i < up_to; ++i) {
        std::string_view text = lines_[i];
        if (text.starts_with("%session-changed ")) {
            text.remove_prefix(sizeof("%session-changed ") - 1);
            session_id = std::string(text.substr(0, text.find(' ')));
        }
    }
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(up_to));
}

std::optional<std::string> Channel::settle(bool keep) {
    if (!conversation_.read(pending_, 0)) {
        throw Ended{};
    }
    for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n')) {
        lines_.emplace_back(pending_, 0, end);
        pending_.erase(0, end + 1);
    }
    std::size_t at = 0;
    for (; at < lines_.size(); ++at) {
        const std::string& text = lines_[at];
        if (is_exit(text)) {
            throw Ended{};
        }
        if (!is_notification(text)) {
            if (!keep) {
                throw Stray{};
            }
            std::string stray = text;
            consume(at + 1);
            return stray;
        }
    }
    consume(at);
    return std::nullopt;
}

// The index of the next block that answers one of our commands: notifications and the blocks
// hooks write (flags 0) are passed over; "%exit" ends the channel; anything else is stray.
std::size_t Channel::next_begin(std::size_t at) {
    for (;;) {
        const std::string& text = line(at);
        if (auto guard = guard_of(text, "%begin")) {
            if (!from_a_hook(*guard)) {
                return at;
            }
            std::string end = "%end " + std::string(*guard);
            std::string error = "%error " + std::string(*guard);
            while (line(++at) != end && line(at) != error) {
            }
            ++at;
        } else if (is_exit(text)) {
            throw Ended{!answering_};
        } else if (is_notification(text)) {
            ++at;
        } else {
            throw Stray{};
        }
    }
}

// Whether a block printing only `nonce` starts at `at` (after notifications): the index after
// it when it does. The nonce cannot be forged, so such a block is surely tmux's own.
std::optional<std::size_t> Channel::nonce_block(std::size_t at, const std::string& nonce) {
    while (is_notification(line(at)) && !is_exit(line(at))) {
        ++at;
    }
    auto guard = guard_of(line(at), "%begin");
    if (!guard || from_a_hook(*guard)) {
        return std::nullopt;
    }
    std::string end = "%end " + std::string(*guard);
    if (line(at + 1) != nonce || line(at + 2) != end) {
        return std::nullopt;
    }
    return at + 3;
}

// Reads the block that starts at `at` into `data`; returns the index after it. With a nonce
// its end counts only when the nonce's block follows it: a line that merely looks like the
// end (a pane can print one) is data.
std::size_t Channel::read_block(std::size_t at, std::vector<std::string>& data, bool& failed,
                                const std::string* nonce) {
    std::string guard(*guard_of(line(at), "%begin"));
    std::string end = "%end " + guard;
    std::string error = "%error " + guard;
    for (++at;; ++at) {
        const std::string& text = line(at);
        if (text == end || text == error) {
            failed = text == error;
            if (nonce == nullptr) {
                return at + 1;
            }
            if (auto after = nonce_block(at + 1, *nonce)) {
                return *after;
            }
        }
        data.push_back(line(at));
    }
}

void Channel::adapt(Words& words) const {
    if (!kStarting.contains(words[0]) || has(words, "-c")) {
        return;
    }
    Words options;
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (cwd) {
        options = {"-c", literal_format(cwd.get())};  // tmux expands formats in the directory
    }
    if (words[0] == "new-session") {
        for (const std::string& name : update_environment_) {
            if (const char* value = std::getenv(name.c_str())) {
                options.insert(options.end(), {"-e", name + "=" + value});
            }
        }
    }
    words.insert(words.begin() + 1, options.begin(), options.end());
}

runner::Result Channel::answer(const Request& request, bool& sent) {
    if (request.commands.size() == 1 && request.commands[0][0] == "capture-pane" && has(request.commands[0], "-p")) {
        return capture(request.commands[0], sent);
    }
    // What arrived since the last answer: notifications, or the news that the client has gone,
    // found here before a command is sent that then could not know its fate.
    settle(false);
    // Output is not escaped: a pane can print a line that looks like the end of its block.
    // When output is read, the block of every command that prints is closed by one printing a
    // nonce, which no one else can print: within the chain a chained one, after the last (and
    // after a failure, which ends the chain) one on a line of its own.
    std::string nonce = request.wants_output ? "vordalin-" + random_token() : std::string();
    std::string print_nonce = request.wants_output ? command_line({"display-message", "-p", nonce}) : std::string();
    auto closed_by_nonce = [&](const Words& words) { return request.wants_output && !silent(words); };
    std::string text;
    for (std::size_t i = 0; i < request.commands.size(); ++i) {
        Words adapted = request.commands[i];
        adapt(adapted);
        if (i > 0) {
            text += closed_by_nonce(request.commands[i - 1]) ? " ; " + print_nonce + " ; " : " ; ";
        }
        text += command_line(adapted);
    }
    text += '\n';
    if (request.wants_output) {
        text += print_nonce + "\n";
    }
    sent = true;
    if (!conversation_.write(text)) {
        throw Ended{};
    }
    runner::Result result;
    result.returncode = 0;
    std::string out;
    std::size_t at = 0;
    bool failed = false;
    answering_ = false;
    // Whether the nonce of the line of its own has been read (it closes the last command, or
    // the one that failed, when that one prints).
    bool last_nonce_read = !request.wants_output;
    for (std::size_t i = 0; i < request.commands.size() && !failed; ++i) {
        at = next_begin(at);
        answering_ = true;
        std::vector<std::string> data;
        bool closed = closed_by_nonce(request.commands[i]);
        at = read_block(at, data, failed, closed ? &nonce : nullptr);
        last_nonce_read = last_nonce_read || (closed && (failed || i + 1 == request.commands.size()));
        std::string& into = failed ? result.err : out;
        for (const std::string& each : data) {
            into += each;
            into += '\n';
        }
    }
    if (!last_nonce_read) {
        std::optional<std::size_t> after = nonce_block(next_begin(at), nonce);
        if (!after) {
            throw Stray{};
        }
        at = *after;
    }
    consume(at);
    if (failed) {
        result.returncode = 1;
        // What a process prints on its stderr; control mode marks a line tmux cannot parse.
        if (result.err.starts_with("parse error: ")) {
            result.err.erase(0, sizeof("parse error: ") - 1);
        }
    }
    std::copy(out.begin(), out.end(), result.out.tail(out.size()));
    result.out.commit(out.size());
    return result;
}

// capture-pane -p through a control client leaks the capture inside tmux servers before 3.6,
// and its output could hold lines that look like the block's end: the capture goes to a
// buffer, the buffer to a file of ours, and the file is read.
runner::Result Channel::capture(const Words& words, bool& sent) {
    std::string buffer = "vordalin-" + std::to_string(::getpid()) + "-" + std::to_string(++captures_);
    std::string name = std::to_string(captures_);
    std::string path = directory_ + "/" + name;
    Words capture_words{"capture-pane", "-b", buffer};
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i] != "-p") {
            capture_words.push_back(words[i]);
        }
    }
    // None of these prints anything: no nonce is needed.
    Request request{{capture_words, {"save-buffer", "-b", buffer, path}, {"delete-buffer", "-b", buffer}}, false};
    runner::Result saved = answer(request, sent);
    if (!saved.ok()) {
        return saved;
    }
    // save-buffer answers before its client has written the file, and reports a failure to
    // write it later, as a line of its own; the file is whole once the client closes it.
    runner::Result result;
    auto deadline = Clock::now() + kFileTimeout;
    while (!closed_after_writing(name)) {
        if (std::optional<std::string> complaint = settle(true)) {
            ::unlink(path.c_str());
            result.returncode = 1;
            result.err = *complaint + "\n";
            return result;
        }
        std::array<pollfd, 2> watch{{{watch_.get(), POLLIN, 0}, {conversation_.output_fd(), POLLIN, 0}}};
        int ready = ::poll(watch.data(), watch.size(), runner::kCheckIntervalMs);
        if (ready < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "poll");
        }
        if (ready <= 0 && runner::interrupt_requested()) {
            throw runner::Interrupted{};
        }
        if (Clock::now() > deadline) {
            throw Stray{};
        }
    }
    runner::Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ::unlink(path.c_str());
    if (!file.valid()) {
        throw Stray{};
    }
    constexpr std::size_t kChunk = 256 * 1024;
    for (ssize_t got = 1; got > 0;) {
        got = ::read(file.get(), result.out.tail(kChunk), kChunk);
        if (got < 0 && errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "read");
        }
        result.out.commit(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    result.returncode = 0;
    return result;
}

// Whether the events on the capture directory tell that the file was closed after writing.
bool Channel::closed_after_writing(const std::string& name) {
    alignas(inotify_event) std::array<char, 4096> events;
    bool closed = false;
    for (;;) {
        ssize_t got = ::read(watch_.get(), events.data(), events.size());
        if (got <= 0) {
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                throw std::system_error(errno, std::generic_category(), "read");
            }
            return closed;
        }
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(events.data() + at);
            closed = closed || (event->len > 0 && name == event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
}

void Channel::remove_directory() noexcept {
    if (directory_.empty()) {
        return;
    }
    // A capture cut short (Ctrl-C) may have left its file behind.
    if (DIR* entries = ::opendir(directory_.c_str())) {
        while (const dirent* entry = ::readdir(entries)) {
            ::unlinkat(::dirfd(entries), entry->d_name, 0);  // "." and ".." refuse, as they should
        }
        ::closedir(entries);
    }
    ::rmdir(directory_.c_str());
    directory_.clear();
}

std::unique_ptr<Channel> Channel::open(const Socket& socket) {
    std::vector<std::string> argv{"tmux", "-u"};
    if (socket) {
        argv.insert(argv.end(), {"-S", *socket});
    }
    // A control client would start a server (reading the user's configuration) only to find
    // no session in it; so it starts only when a process found the server running sessions.
    std::vector<std::string> probe = argv;
    probe.insert(probe.end(), {"list-sessions", "-F", "."});
    runner::Result sessions =
        runner::run(probe, {runner::Input::kNull, runner::Output::kCapture, runner::Output::kNull});
    if (!sessions.ok() || sessions.out.view().empty()) {
        return nullptr;
    }
    // -E: the server's update-environment is not applied for us; no-output: no %output
    // lines for what panes print; ignore-size: our client does not size any window.
    argv.insert(argv.end(), {"-C", "attach-session", "-E", "-f", "no-output,ignore-size"});
    std::string failure;
    std::optional<runner::Conversation> started = runner::Conversation::start(argv, failure);
    if (!started) {
        return nullptr;
    }
    std::unique_ptr<Channel> channel(new Channel(std::move(*started)));
    try {
        // Attached once tmux says which session the client is on; a client with no session
        // to attach to ends instead.
        auto deadline = Clock::now() + kConnectTimeout;
        std::size_t at = 0;
        while (!channel->line(at).starts_with("%session-changed ")) {
            ++at;
            if (Clock::now() > deadline) {
                channel->drop();
                return nullptr;
            }
        }
        channel->consume(at + 1);
        bool sent = false;
        runner::Result environment = channel->answer({{{"show-options", "-gv", "update-environment"}}, true}, sent);
        std::string_view names = environment.out.view();
        for (std::size_t end = names.find('\n'); end != std::string_view::npos; end = names.find('\n')) {
            channel->update_environment_.emplace_back(names.substr(0, end));
            names.remove_prefix(end + 1);
        }
        std::string pattern =
            std::string(std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp") + "/vordalin-channel-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            channel->drop();
            return nullptr;
        }
        channel->directory_ = pattern;
        channel->watch_ = runner::Fd(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        if (!channel->watch_.valid() ||
            ::inotify_add_watch(channel->watch_.get(), pattern.c_str(), IN_CLOSE_WRITE) < 0) {
            channel->drop();
            return nullptr;
        }
    } catch (const Ended&) {
        channel->drop();
        return nullptr;
    } catch (const Stray&) {
        channel->drop();
        return nullptr;
    }
    return channel;
}

// The channels of this process, by key. Calls hold the interpreter lock, so only one thread
// is in here at a time; a signal handler that calls in while a channel waits for an answer
// finds it busy and runs its command as a process.
struct Entry {
    std::unique_ptr<Channel> channel;
    // connect() asked for a channel here: one that ends is opened again by a later call.
    bool wanted = false;
    // Whether to try opening one: at first, and after a failed try, only once the server has
    // answered a process (with the switch on, a call finds the server that way first).
    bool retry = false;
};

struct Registry {
    runner::SpinLock lock;
    std::map<std::string, Entry> entries;
    // Channels let go while a call further up the thread still waits on them; they go once
    // no call does.
    std::vector<std::unique_ptr<Channel>> retired;
    std::atomic<std::size_t> open{0};
    std::atomic<std::size_t> wanted{0};
};

// Empties the registry of its open channels, and forgets what was wanted; hands them over.
std::vector<std::unique_ptr<Channel>> take_open(Registry& all) {
    std::vector<std::unique_ptr<Channel>> channels;
    for (auto& [key, entry] : all.entries) {
        if (entry.channel) {
            channels.push_back(std::move(entry.channel));
        }
    }
    all.entries.clear();
    all.open = 0;
    all.wanted = 0;
    return channels;
}

Registry& registry() {
    static Registry* instance = [] {
        auto* made = new Registry;  // never destroyed: the interpreter's exit closes the channels
        // A child made by fork holds copies of our descriptors: it lets them go without a
        // word to the clients, which stay its parent's.
        ::pthread_atfork(nullptr, nullptr, [] {
            Registry& all = registry();
            for (auto& channel : take_open(all)) {
                channel->abandon();
            }
            for (auto& channel : all.retired) {
                channel->abandon();
            }
            all.retired.clear();
        });
        return made;
    }();
    return *instance;
}

// Marks a channel as in use for as long as it lives; fails when a call already uses it.
class Use {
public:
    explicit Use(Channel& channel) : channel_(channel), owned_(!channel.busy.test_and_set()) {}
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    ~Use() { release(); }
    bool owned() const noexcept { return owned_; }
    void release() noexcept {
        if (owned_) {
            channel_.busy.clear();
            owned_ = false;
        }
    }

private:
    Channel& channel_;
    bool owned_;
};

// The open channel of this process for the key, if any.
Channel* find(const std::string& key) {
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    auto found = all.entries.find(key);
    if (found == all.entries.end() || !found->second.channel || found->second.channel->owner != ::getpid()) {
        return nullptr;
    }
    return found->second.channel.get();
}

// Takes the channel out of the registry; the caller ends it and then lets it go.
std::unique_ptr<Channel> take(const std::string& key, Channel* channel) {
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    auto found = all.entries.find(key);
    if (found == all.entries.end() || found->second.channel.get() != channel) {
        return nullptr;
    }
    --all.open;
    return std::move(found->second.channel);
}

// Lets go of an ended channel now, or once the call that waits on it is done.
void retire(std::unique_ptr<Channel> channel) {
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    std::erase_if(all.retired, [](const std::unique_ptr<Channel>& old) { return !old->busy.test(); });
    if (channel && channel->busy.test()) {
        all.retired.push_back(std::move(channel));
    }
}

void end(const std::string& key, Channel* channel, bool gently) {
    std::unique_ptr<Channel> taken = take(key, channel);
    if (!taken) {
        return;
    }
    if (gently) {
        try {
            taken->close();
        } catch (...) {
            taken->drop();
            retire(std::move(taken));
            throw;
        }
    } else {
        taken->drop();
    }
    retire(std::move(taken));
}

// Opens a channel for the key unless one is open; remembers a failure until the server
// answers a process again.
Channel* open_for(const std::string& key, const Socket& socket) {
    if (Channel* open = find(key)) {
        return open;
    }
    std::unique_ptr<Channel> channel = Channel::open(socket);
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    Entry& entry = all.entries[key];
    entry.retry = channel != nullptr;
    if (!channel) {
        return nullptr;
    }
    entry.channel = std::move(channel);
    ++all.open;
    return entry.channel.get();
}

// Whether a call on this key should try to open a channel first.
bool should_open(const std::string& key, bool automatic) {
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    auto found = all.entries.find(key);
    bool wanted = automatic || (found != all.entries.end() && found->second.wanted);
    return wanted && (found == all.entries.end() || found->second.retry);
}

void want(const std::string& key, bool wanted) {
    Registry& all = registry();
    std::lock_guard<runner::SpinLock> hold(all.lock);
    Entry& entry = all.entries[key];
    if (entry.wanted != wanted) {
        entry.wanted = wanted;
        wanted ? ++all.wanted : --all.wanted;
    }
}

}  // namespace

bool active() {
    Registry& all = registry();
    return all.open != 0 || all.wanted != 0 || switch_on();
}

std::optional<runner::Result> run(const Socket& socket, const Request& request) {
    Registry& all = registry();
    bool automatic = switch_on();
    if (all.open == 0 && all.wanted == 0 && !automatic) {
        return std::nullopt;
    }
    for (const Words& words : request.commands) {
        if (!for_the_channel(words)) {
            return std::nullopt;
        }
    }
    std::string key = key_of(socket);
    Channel* channel = find(key);
    if (channel == nullptr && should_open(key, automatic)) {
        channel = open_for(key, socket);
    }
    if (channel == nullptr) {
        return std::nullopt;
    }
    Use use(*channel);
    if (!use.owned()) {
        return std::nullopt;
    }
    bool kills_server = request.commands.back()[0] == "kill-server";
    bool sent = false;
    try {
        runner::Result result = channel->answer(request, sent);
        if (kills_server && result.ok()) {
            // Read on to the client's end: a server whose control client goes unread can hang
            // its other clients.
            use.release();
            end(key, channel, true);
        }
        return result;
    } catch (const runner::Interrupted&) {
        use.release();
        end(key, channel, false);
        throw;
    } catch (const Ended& ended) {
        sent = sent && !ended.before_answering;
    } catch (const Stray&) {
    }
    use.release();
    end(key, channel, false);
    if (kills_server && sent) {
        runner::Result killed;  // the server's end ends its clients: the kill took effect
        killed.returncode = 0;
        return killed;
    }
    if (sent && !only_reads(request)) {
        throw UnknownEffect{request.commands.front()[0]};
    }
    // Not sent, or only reading: it runs as a process instead.
    return std::nullopt;
}

void ran_as_process(const Socket& socket, bool succeeded) {
    Registry& all = registry();
    if (!succeeded || (all.wanted == 0 && !switch_on())) {
        return;
    }
    std::string key = key_of(socket);
    std::lock_guard<runner::SpinLock> hold(all.lock);
    all.entries[key].retry = true;
}

bool connect(const Socket& socket) {
    std::string key = key_of(socket);
    want(key, true);
    return open_for(key, socket) != nullptr;  // asked for: tried at once
}

void disconnect(const Socket& socket) {
    std::string key = key_of(socket);
    want(key, false);
    Channel* channel = find(key);
    if (channel == nullptr) {
        return;
    }
    // A call further up this thread may wait on it (from a signal handler): it ends with it.
    end(key, channel, !channel->busy.test());
}

bool connected(const Socket& socket) {
    return registry().open != 0 && find(key_of(socket)) != nullptr;
}

std::optional<std::string> attached_session(const Socket& socket) {
    if (registry().open == 0) {
        return std::nullopt;
    }
    Channel* channel = find(key_of(socket));
    if (channel == nullptr) {
        return std::nullopt;
    }
    return channel->session_id;
}

void close_all() noexcept {
    Registry& all = registry();
    std::vector<std::unique_ptr<Channel>> channels;
    {
        std::lock_guard<runner::SpinLock> hold(all.lock);
        channels = take_open(all);
    }
    for (auto& channel : channels) {
        if (channel->owner != ::getpid()) {
            channel->abandon();
            continue;
        }
        try {
            channel->close(kExitLimitMs);
        } catch (...) {
            channel->drop();
        }
    }
}

}  // namespace vordalin::channel
