#include "core/pane_wait.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <vector>

#include "core/error.hpp"
#include "core/fields.hpp"
#include "core/pane.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

// How many rows above its line a mark keeps: enough that output rarely repeats them all.
constexpr std::int64_t kAnchorRows = 3;

// The pane's numbers in `format` (`count` numbers separated by blanks), read strictly: a pane
// that is gone raises, and is never mistaken for another.
std::vector<std::uint64_t> pane_numbers(const PaneRecord& pane, std::string_view format, std::size_t count,
                                        std::string_view failure) {
    std::string output = checked_output(
        strictly_resolved(pane.socket, pane.pane_id, {"display-message", "-p", "-t", pane.pane_id, format}), {failure});
    std::vector<std::string_view> fields = text::split_fields(text::trim(output), ' ');
    if (fields.size() != count) {
        throw Error("unexpected display-message output: " + text::quote(text::trim(output)));
    }
    std::vector<std::uint64_t> numbers;
    for (std::string_view field : fields) {
        numbers.push_back(read_number(field, kMaxU64, "bad pane number"));
    }
    return numbers;
}

// The mark, with the rows above its line when `rows_above` (a reader that finds its text by a
// nonce needs none).
PaneMark marked(const PaneRecord& pane, bool rows_above) {
    constexpr std::string_view kFailure = "tmux display-message failed: ";
    std::vector<std::uint64_t> at = pane_numbers(pane, "#{history_size} #{cursor_y}", 2, kFailure);
    auto history = static_cast<std::int64_t>(at.at(0));
    auto cursor = static_cast<std::int64_t>(at.at(1));
    std::string above;
    if (rows_above && history + cursor > 0) {
        std::int64_t first = std::max(-history, cursor - kAnchorRows);
        above = std::string(checked_capture_span(pane, first, cursor - 1, false, kFailure).view());
    }
    return PaneMark{pane.pane_id, at.at(0) + at.at(1), at.at(0), std::move(above), pane.socket};
}

}  // namespace

PaneMark mark_pane(const PaneRecord& pane) {
    return marked(pane, true);
}

LinesBelow::LinesBelow(PaneRecord pane, const PaneMark& mark, bool unsure_reads_all)
    : pane_(std::move(pane)),
      line_(static_cast<std::int64_t>(mark.line)),
      seen_history_(mark.history_size),
      unsure_reads_all_(unsure_reads_all) {
    for (std::string_view row : text::split_lines(mark.above)) {
        above_.emplace_back(row);
    }
    if (mark.pane_id != pane_.pane_id || !(mark.socket == pane_.socket)) {
        throw Error("the mark is of pane " + mark.pane_id + ", not of pane " + pane_.pane_id, Error::Kind::kValue);
    }
}

std::string LinesBelow::read(std::string_view failure) {
    std::vector<std::uint64_t> at = pane_numbers(pane_, "#{history_size} #{history_limit} #{cursor_y}", 3, failure);
    auto history = static_cast<std::int64_t>(at.at(0));
    auto limit = static_cast<std::int64_t>(at.at(1));
    auto cursor = history + static_cast<std::int64_t>(at.at(2));
    std::int64_t at_once = std::max<std::int64_t>(1, limit / 10);
    auto seen = static_cast<std::int64_t>(seen_history_);
    if (history < seen) {
        // A full history that dropped its oldest lines holds at least all but a tenth of its
        // limit; one that holds less was emptied (clear-history), and may have grown since.
        bool emptied = history + at_once < limit;
        line_ -= emptied ? seen : (seen - history + at_once - 1) / at_once * at_once;
    }
    seen_history_ = static_cast<std::uint64_t>(history);
    if (line_ >= 0 && cursor < line_) {
        // The screen was wiped without scrolling into the history (a clear that also clears the
        // scrollback, or tmux's scroll-on-clear off): all it shows now came after the mark.
        line_ = history - 1;
    }
    bool unsure = history + at_once > limit;
    if (unsure && line_ >= 0 && !unsure_reads_all_ && !above_.empty()) {
        find_line(at_once, failure);
    }
    std::optional<std::int64_t> start;
    if (line_ >= 0 && !(unsure && unsure_reads_all_)) {
        start = line_ - history;
    }
    Text captured = checked_capture_span(pane_, start, std::nullopt, true, failure);
    // The first line from the mark's is the mark's own, with the rows it wrapped onto.
    bool mark_line = start.has_value();
    std::string lines;
    for (std::string_view line : text::split_lines(captured.view())) {
        if (mark_line) {
            mark_line = false;
            continue;
        }
        std::size_t end = line.find_last_not_of(' ');
        lines += line.substr(0, end == std::string_view::npos ? 0 : end + 1);
        lines += '\n';
    }
    return lines;
}

namespace {

// The exit status of a process that has exited and is not yet reaped, as waitpid would give it
// and the module reports it (minus the signal's number), read from /proc; nothing when the
// process is no such zombie.
std::optional<int> zombie_status(std::string_view pid) {
    std::ifstream stat("/proc/" + std::string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
        return std::nullopt;
    }
    // After the name in parentheses: the state (the stat file's third field), ..., and the
    // exit code (its 52nd).
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::vector<std::string> after_name{std::istream_iterator<std::string>(fields), {}};
    constexpr std::size_t kState = 0;
    constexpr std::size_t kExitCode = 49;
    if (after_name.size() <= kExitCode || after_name[kState] != "Z") {
        return std::nullopt;
    }
    int code = std::stoi(after_name[kExitCode]);
    return WIFSIGNALED(code) ? -WTERMSIG(code) : WEXITSTATUS(code);
}

}  // namespace

void LinesBelow::find_line(std::int64_t at_once, std::string_view failure) {
    Text all = checked_capture_span(pane_, std::nullopt, std::nullopt, false, failure);
    std::vector<std::string_view> rows = text::split_lines(all.view());
    auto count = static_cast<std::int64_t>(above_.size());
    // Drops come a tenth of the limit at a time: the line is where it was counted to be, or as
    // many tenths higher as drops went unseen.
    for (std::int64_t line = line_; line >= count; line -= at_once) {
        if (line > static_cast<std::int64_t>(rows.size())) {
            continue;
        }
        if (std::equal(above_.begin(), above_.end(), rows.begin() + (line - count))) {
            line_ = line;
            return;
        }
    }
    line_ = -1;
}

Progress ExitLook::look() {
    std::string output;
    try {
        output = checked_output(strictly_resolved(pane_.socket, pane_.pane_id,
                                                  {"display-message", "-p", "-t", pane_.pane_id,
                                                   "#{pane_dead} #{pane_dead_status} #{pane_dead_signal} #{pane_pid}"}),
                                {"wait for pane " + pane_.pane_id + " failed: "});
    } catch (const Error& error) {
        if (error.kind() != Error::Kind::kNotFound) {
            throw;
        }
        return {true, std::nullopt};
    }
    std::vector<std::string_view> fields = text::split_fields(text::without_line_end(output), ' ');
    if (fields.size() != 4 || fields[0] != "1") {
        return {};
    }
    if (!fields[1].empty()) {
        status_ = static_cast<int>(read_number(fields[1], INT32_MAX, "pane_dead_status"));
    } else if (!fields[2].empty()) {
        status_ = -static_cast<int>(read_number(fields[2], INT32_MAX, "pane_dead_signal"));
    } else if (std::optional<int> status = pane_.socket.remote() ? std::nullopt : zombie_status(fields[3])) {
        // tmux 3.3a marks the pane dead when its terminal closes, and may then miss the child's
        // exit (it stays a zombie until another child of the server exits): the status is
        // read from the process itself where that is on this machine.
        status_ = status;
    } else {
        // tmux learns the status a moment later, with no event to say so.
        constexpr auto kStatusPending = std::chrono::milliseconds(10);
        return {false, Clock::now() + kStatusPending};
    }
    return {true, std::nullopt};
}

QuietLook::QuietLook(PaneRecord pane, double quiet)
    : pane_(std::move(pane)),
      quiet_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(quiet))) {}

Progress QuietLook::look(std::string_view failure) {
    // Output of lines alike scrolls without changing the screen; the history's length shows it.
    std::string where = checked_output(
        strictly_resolved(pane_.socket, pane_.pane_id,
                          {"display-message", "-p", "-t", pane_.pane_id, "#{history_size} #{cursor_x} #{cursor_y}"}),
        {failure});
    screen_ = std::string(checked_capture(pane_, false, failure).view());
    std::string state = where + screen_;
    auto now = Clock::now();
    if (!looked_ || state != state_) {
        looked_ = true;
        state_ = std::move(state);
        changed_at_ = now;
    }
    if (now - changed_at_ >= quiet_) {
        return {true, std::nullopt};
    }
    return {false, changed_at_ + quiet_};
}

namespace {

std::string make_nonce() {
    std::random_device random;
    std::uniform_int_distribution<std::uint32_t> any;
    constexpr char kDigits[] = "0123456789abcdef";
    std::string nonce;
    for (int word = 0; word < 2; ++word) {
        std::uint32_t bits = any(random);
        for (int digit = 0; digit < 8; ++digit, bits >>= 4) {
            nonce += kDigits[bits & 15];
        }
    }
    return nonce;
}

// The marker "vd<nonce><end>" as the typed line holds it: in two quoted halves.
std::string quoted_marker(const std::string& nonce, char end) {
    std::size_t half = nonce.size() / 2;
    return "'vd" + nonce.substr(0, half) + "''" + nonce.substr(half) + end + "'";
}

std::string single_quoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

RunLook::RunLook(PaneRecord pane, std::string command)
    : pane_(std::move(pane)), command_(std::move(command)), nonce_(make_nonce()) {}

Progress RunLook::look(std::string_view failure) {
    if (!lines_) {
        lines_.emplace(pane_, marked(pane_, false), true);
        // eval keeps the command's own lines, quotes and comments its own; the shell reads all of
        // it before the first marker prints, so the echo of every typed line comes before it.
        std::string typed = "printf '%s\\n' " + quoted_marker(nonce_, 'b') + "; eval " + single_quoted(command_) +
                            "; printf '%s %d\\n' " + quoted_marker(nonce_, 'e') + " \"$?\"";
        send_keys(pane_, typed, true, false, true);
    }
    std::string lines = lines_->read(failure);
    std::string begin = "vd" + nonce_ + "b";
    std::string end = "vd" + nonce_ + "e ";
    std::vector<std::string_view> split = text::split_lines(lines);
    for (std::size_t at = 0; at < split.size(); ++at) {
        std::size_t found = split[at].find(end);
        if (found == std::string_view::npos || !all_digits(split[at].substr(found + end.size()))) {
            continue;
        }
        std::size_t first = 0;
        for (std::size_t before = at; before-- > 0;) {
            // The shell's continuation prompts for a command of several lines may come first.
            if (split[before].ends_with(begin)) {
                first = before + 1;
                break;
            }
        }
        result_.output.clear();
        for (std::size_t line = first; line < at; ++line) {
            result_.output += split[line];
            result_.output += '\n';
        }
        // Output without a final newline ends on the marker's line.
        result_.output += split[at].substr(0, found);
        result_.status = static_cast<int>(read_number(split[at].substr(found + end.size()), INT32_MAX, "exit status"));
        return {true, std::nullopt};
    }
    return {};
}

}  // namespace vordalin::core
