// The one loop behind every wait on a pane: look at the pane, and until the look says the wait
// is over, sleep until tmux's events say the pane may have changed (or, without them, for the
// poll interval), then look again.
#pragma once

#include <memory>
#include <optional>

#include "channel/watch.hpp"
#include "core/records.hpp"
#include "runner/wait.hpp"

namespace vordalin::core {

using Clock = runner::Clock;

// What one look at a pane found: whether the wait is over and, when time alone can end it (a
// pane that stays quiet), when to look again at the latest.
struct Progress {
    bool done = false;
    std::optional<Clock::time_point> again;
};

// The deadline `timeout` seconds from now; nothing waits without limit.
std::optional<Clock::time_point> deadline_after(std::optional<double> timeout);

// What a wait sleeps on between two looks at its pane.
class PaneSleep {
public:
    PaneSleep(const PaneRecord& pane, double interval);

    // Until the pane may have changed, or the interval has passed when there is no watch, or
    // `until`, whichever comes first. Lets other threads run; throws runner::Interrupted when
    // the interrupt check asks to stop (Ctrl-C).
    void sleep(std::optional<Clock::time_point> until);
    // Takes a change that is already pending, without waiting, for the look that follows:
    // the step of an awaitable wait, whose event loop waited on the descriptor instead.
    void settle();
    // What an event loop waits on: readable once the pane may have changed; -1 without a
    // watch, and the loop sleeps for interval() instead.
    int descriptor() const;
    double interval() const noexcept { return interval_; }

private:
    std::unique_ptr<channel::Watch> watch_;
    double interval_;
};

// Looks (`look` returns a Progress) until the wait is over, sleeping between looks; false when
// the deadline passed first, after a last look at it.
template <class Look>
bool wait_until(PaneSleep& sleep, std::optional<Clock::time_point> deadline, Look&& look) {
    for (;;) {
        Progress progress = look();
        if (progress.done) {
            return true;
        }
        if (deadline && Clock::now() >= *deadline) {
            return false;
        }
        std::optional<Clock::time_point> until = deadline;
        if (progress.again && (!until || *progress.again < *until)) {
            until = progress.again;
        }
        sleep.sleep(until);
    }
}

}  // namespace vordalin::core
