#include "core/wait.hpp"

#include <algorithm>
#include <chrono>
#include <span>

namespace vordalin::core {

std::optional<Clock::time_point> deadline_after(std::optional<double> timeout) {
    if (!timeout) {
        return std::nullopt;
    }
    // A timeout too long to count in the clock's ticks waits without limit in all but name.
    constexpr double kLongest = 1e9;
    auto span =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(*timeout, kLongest)));
    return Clock::now() + span;
}

PaneSleep::PaneSleep(const PaneRecord& pane, double interval)
    : watch_(channel::watch_pane(pane.socket, pane.pane_id)), interval_(interval) {}

void PaneSleep::sleep(std::optional<Clock::time_point> until) {
    auto limit = until.value_or(Clock::time_point::max());
    if (watch_) {
        watch_->changed(limit);
        return;
    }
    auto next = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(interval_));
    // No descriptor at all: poll only sleeps, without the lock, and Ctrl-C still ends it.
    runner::wait_readable(std::span<pollfd>(), std::min(next, limit));
}

void PaneSleep::settle() {
    if (watch_) {
        watch_->changed(Clock::time_point::min());
    }
}

int PaneSleep::descriptor() const {
    return watch_ ? watch_->descriptor() : -1;
}

}  // namespace vordalin::core
