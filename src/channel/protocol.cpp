#include "channel/protocol.hpp"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "channel/quote.hpp"

namespace vordalin::channel {

namespace {

// What one pass of settle() takes in at most, so that a flood of notifications cannot keep
// it, and the turn, for ever.
constexpr std::size_t kSettleBudget = 4 * 1024 * 1024;

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

// A block of a command this client sent has flags 1; hooks and the client's own first
// command write blocks with 0.
bool ours(std::string_view guard) {
    return guard.ends_with(" 1");
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

constexpr std::string_view kSessionChanged = "%session-changed ";

}  // namespace

void Protocol::split_lines() {
    std::size_t start = 0;
    for (std::size_t end = pending_.find('\n'); end != std::string::npos; end = pending_.find('\n', start)) {
        lines_.emplace_back(pending_, start, end - start);
        start = end + 1;
    }
    pending_.erase(0, start);
}

const std::string* Protocol::line(std::size_t at, Wait wait, Clock::time_point deadline) {
    while (lines_.size() <= at) {
        runner::Conversation::Got got =
            conversation_.read(pending_, wait == Wait::kYes ? deadline : Clock::time_point::min());
        if (got == runner::Conversation::Got::kEnd) {
            throw Ended{};
        }
        if (got == runner::Conversation::Got::kNothing) {
            return nullptr;
        }
        split_lines();
    }
    return &lines_[at];
}

void Protocol::note(std::string_view notification) {
    if (notification.starts_with(kSessionChanged)) {
        notification.remove_prefix(kSessionChanged.size());
        session_id_ = std::string(notification.substr(0, notification.find(' ')));
    }
}

void Protocol::consume(std::size_t up_to) {
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(up_to));
}

Protocol::Passed Protocol::past_others(std::size_t at, Wait wait, const std::string* nonce, bool noting) {
    for (;;) {
        const std::string* text = line(at, wait);
        if (text == nullptr) {
            return {at, Stop::kWanting};
        }
        if (auto guard = guard_of(*text, "%begin"); guard && !ours(*guard)) {
            std::string end = "%end " + std::string(*guard);
            std::string error = "%error " + std::string(*guard);
            std::size_t inner = at + 1;
            for (;; ++inner) {
                const std::string* content = line(inner, wait);
                if (content == nullptr) {
                    return {at, Stop::kWanting};
                }
                if (nonce != nullptr && *content == *nonce) {
                    return {at, Stop::kForged};
                }
                if (*content == end || *content == error) {
                    break;
                }
            }
            at = inner + 1;
            continue;
        }
        if (!is_notification(*text) || is_exit(*text)) {
            return {at, Stop::kOurs};
        }
        if (noting) {
            note(*text);
        }
        ++at;
    }
}

bool Protocol::attached(Clock::time_point deadline) {
    for (std::size_t at = 0;; ++at) {
        const std::string* text = line(at, Wait::kYes, deadline);
        if (text == nullptr) {
            return false;
        }
        if (is_exit(*text)) {
            throw Ended{};
        }
        if (text->starts_with(kSessionChanged)) {
            note(*text);
            consume(at + 1);
            return true;
        }
    }
}

std::optional<std::string> Protocol::settle() {
    for (std::size_t taken = 0; taken < kSettleBudget;) {
        std::size_t before = pending_.size();
        runner::Conversation::Got got = conversation_.read(pending_, Clock::time_point::min());
        if (got == runner::Conversation::Got::kEnd) {
            throw Ended{};
        }
        if (got == runner::Conversation::Got::kNothing) {
            break;
        }
        taken += pending_.size() - before;
        split_lines();
    }
    split_lines();
    Passed passed = past_others(0, Wait::kNo, nullptr, true);
    consume(passed.at);
    if (passed.stop != Stop::kOurs) {
        return std::nullopt;
    }
    if (is_exit(lines_.front())) {
        throw Ended{};
    }
    std::string stray = std::move(lines_.front());
    consume(1);
    return stray;
}

std::optional<std::string> Protocol::notification(Clock::time_point deadline) {
    Wait wait = deadline == Clock::time_point::min() ? Wait::kNo : Wait::kYes;
    for (;;) {
        const std::string* text = line(0, wait, deadline);
        if (text == nullptr) {
            return std::nullopt;
        }
        // tmux writes notifications inside the blocks of our own commands too ("%continue"
        // inside refresh-client's): what those print is passed over line by line.
        if (auto guard = guard_of(*text, "%begin"); guard && !ours(*guard)) {
            std::string end = "%end " + std::string(*guard);
            std::string error = "%error " + std::string(*guard);
            std::size_t inner = 1;
            for (const std::string* content = line(inner, wait, deadline);
                 content != nullptr && *content != end && *content != error; content = line(++inner, wait, deadline)) {
            }
            if (lines_.size() <= inner) {
                return std::nullopt;  // the rest of the block is still on its way
            }
            consume(inner + 1);
            continue;
        }
        std::string taken = std::move(lines_.front());
        consume(1);
        if (is_notification(taken)) {
            return taken;
        }
    }
}

std::size_t Protocol::next_begin(std::size_t at, bool answering) {
    Passed passed = past_others(at, Wait::kYes, nullptr, true);
    const std::string& text = lines_[passed.at];
    if (guard_of(text, "%begin")) {
        return passed.at;  // ours: past_others passes over the others'
    }
    if (is_exit(text)) {
        throw Ended{!answering};
    }
    throw Stray{};
}

std::optional<std::size_t> Protocol::after_nonce(std::size_t at, const std::string& nonce) {
    Passed passed = past_others(at, Wait::kYes, &nonce, false);
    if (passed.stop == Stop::kForged) {
        return std::nullopt;
    }
    auto guard = guard_of(*line(passed.at, Wait::kYes), "%begin");
    if (!guard || !ours(*guard)) {
        return std::nullopt;
    }
    std::string end = "%end " + std::string(*guard);
    if (*line(passed.at + 1, Wait::kYes) != nonce || *line(passed.at + 2, Wait::kYes) != end) {
        return std::nullopt;
    }
    // Between the two blocks stood only what control mode writes between blocks.
    past_others(at, Wait::kYes, nullptr, true);
    return passed.at + 3;
}

std::size_t Protocol::read_block(std::size_t at, std::vector<std::string>& data, bool& failed,
                                 const std::string* nonce) {
    std::string guard(*guard_of(lines_[at], "%begin"));
    std::string end = "%end " + guard;
    std::string error = "%error " + guard;
    for (++at;; ++at) {
        const std::string& text = *line(at, Wait::kYes);
        if (text == end || text == error) {
            failed = text == error;
            if (nonce == nullptr) {
                return at + 1;
            }
            // The end counts only when the nonce's block follows it: a pane can print a line
            // that looks like it.
            if (auto after = after_nonce(at + 1, *nonce)) {
                return *after;
            }
        }
        data.push_back(text);
    }
}

std::optional<runner::Result> Protocol::answer(const Request& request, bool& sent) {
    // What arrived since the last answer: notifications, or the news that the client has gone,
    // found here before a command is sent that then could not know its fate.
    if (settle()) {
        throw Stray{};
    }
    // Output is not escaped, and error texts hold the caller's targets: a line that looks
    // like the end of a block may be anyone's. So every command's block is followed by one
    // printing a nonce, which no one else can print: within the chain a chained one, and
    // after the last (or the one that failed, which ends the chain) one on a line of its own.
    std::string nonce = "vordalin-" + random_token();
    std::string print_nonce = command_line({"display-message", "-p", nonce});
    std::string chain;
    for (const Words& words : request.commands) {
        chain += chain.empty() ? "" : " ; " + print_nonce + " ; ";
        chain += command_line(words);
    }
    // A guard runs the chain, or else prints a mark that no one else can print: if-shell with a
    // format decides at once, and the branch it picks runs next, before the next line.
    std::string in_mode = nonce + "-in-mode";
    if (request.guard) {
        chain = command_line({"if-shell", "-F", "-t", *request.guard, "#{pane_in_mode}",
                              command_line({"display-message", "-p", in_mode}), chain});
    }
    sent = true;
    if (!conversation_.write(chain + '\n' + print_nonce + '\n')) {
        throw Ended{};
    }
    runner::Result result;
    result.returncode = 0;
    std::string out;
    std::size_t at = 0;
    bool failed = false;
    std::vector<std::string> data;
    if (request.guard) {
        // The if-shell's own block: it prints only tmux's complaint about its target, an id.
        at = read_block(next_begin(at, false), data, failed, nullptr);
        if (failed) {
            for (const std::string& each : data) {
                result.err += each;
                result.err += '\n';
            }
            // Nothing ran in its place: the nonce's line is next.
            std::vector<std::string> printed;
            at = read_block(next_begin(at, true), printed, failed, nullptr);
            failed = true;
        }
    }
    for (std::size_t i = 0; i < request.commands.size() && !failed; ++i) {
        at = next_begin(at, i > 0 || request.guard);
        data.clear();
        at = read_block(at, data, failed, &nonce);
        if (request.guard && i == 0 && !failed && data == std::vector<std::string>{in_mode}) {
            consume(at);
            return std::nullopt;
        }
        if (!request.wants_output && !failed) {
            continue;
        }
        std::string& into = failed ? result.err : out;
        for (const std::string& each : data) {
            into += each;
            into += '\n';
        }
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

}  // namespace vordalin::channel
