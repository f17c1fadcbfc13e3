// What the waits on a pane look at: the lines below a mark, its program's exit, its quiet, and
// a command run at its shell's prompt. Each look runs one or two tmux commands and says
// whether the wait is over; core/wait.hpp loops over it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/records.hpp"
#include "core/wait.hpp"

namespace vordalin::core {

// Notes where the pane's cursor line is now.
PaneMark mark_pane(const PaneRecord& pane);

// The lines of a pane below a mark's line, read again at each call. tmux numbers a pane's
// lines from the top of its history, so a mark's line keeps its number while output scrolls,
// until tmux drops lines from the top of the history: all of them (clear-history), or the
// oldest tenth of history-limit once the history is full. A reader sees that as the history
// shrinking, and counts the mark's line up by what was dropped; once the line itself is gone,
// every line left is below it. Where drops may have gone unseen (a full history, where a burst
// of output can drop and refill a tenth between two reads), it finds the line by the rows the
// mark saw above it, as many tenths up as it takes. A screen wiped without scrolling into the
// history (the cursor now above the mark's line) came after the mark: all of it is below.
class LinesBelow {
public:
    // `unsure_reads_all`: where drops may have gone unseen, read the whole history instead, for
    // a caller that finds its own text in it and must not miss any.
    LinesBelow(PaneRecord pane, const PaneMark& mark, bool unsure_reads_all = false);

    // One line per "\n", wrapped lines joined and trailing blanks dropped, as capture() shows
    // them; raises `failure` and tmux's text when the pane cannot be read.
    std::string read(std::string_view failure);

private:
    void find_line(std::int64_t at_once, std::string_view failure);

    PaneRecord pane_;
    std::vector<std::string> above_;
    // The mark's line now, counted from the top of the history; below zero once dropped.
    std::int64_t line_;
    std::uint64_t seen_history_;
    bool unsure_reads_all_;
};

// Waits for the pane's program to exit: its status when tmux keeps the pane (minus the signal
// that ended it), nothing when the pane is gone.
class ExitLook {
public:
    explicit ExitLook(PaneRecord pane) : pane_(std::move(pane)) {}
    Progress look();
    std::optional<int> status() const noexcept { return status_; }

private:
    PaneRecord pane_;
    std::optional<int> status_;
};

// Waits until the pane has shown nothing new for `quiet` seconds: not its screen, not its
// cursor, not its history's length.
class QuietLook {
public:
    QuietLook(PaneRecord pane, double quiet);
    Progress look(std::string_view failure);
    // The visible capture at the last look.
    const std::string& screen() const noexcept { return screen_; }

private:
    PaneRecord pane_;
    Clock::duration quiet_;
    std::string state_;
    std::string screen_;
    Clock::time_point changed_at_{};
    bool looked_ = false;
};

// Types a command at the pane's shell prompt and waits for it to finish. The typed line prints
// a line of its own before the command runs and another with the status after it, each made of
// a nonce that the typed text only ever holds in quoted pieces, which the shell joins: the
// terminal's echo of the typed line can never match them.
class RunLook {
public:
    RunLook(PaneRecord pane, std::string command);
    // The first look types the line.
    Progress look(std::string_view failure);
    const RunResult& result() const noexcept { return result_; }

private:
    PaneRecord pane_;
    std::string command_;
    std::string nonce_;
    std::optional<LinesBelow> lines_;
    RunResult result_;
};

}  // namespace vordalin::core
