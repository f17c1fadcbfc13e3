// What a wait on a pane sleeps on between two looks at it, when tmux's own events can wake it:
// the pane's output, a change of its window or layout, its program's exit, the server's end.
#pragma once

#include <memory>
#include <string>

#include "runner/wait.hpp"
#include "tmux/command.hpp"

namespace vordalin::channel {

class Watch {
public:
    Watch() = default;
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    virtual ~Watch() = default;

    // Returns true as soon as the pane may have changed since the last call (or since the watch
    // began), false at the deadline. It may wake without a change, never miss one. Lets the
    // interpreter's other threads run while it waits; throws runner::Interrupted as waits do.
    virtual bool changed(runner::Clock::time_point deadline) = 0;

    // A descriptor that polls readable while changed() would return at once, for an event loop
    // to watch; the next changed() call consumes it.
    virtual int descriptor() const = 0;
};

// A watch on the pane (its id, "%3") driven by events, when the pane's server has a channel open
// or wanted; nothing otherwise, and the wait looks at the pane at intervals instead.
std::unique_ptr<Watch> watch_pane(const tmux::Socket& socket, const std::string& pane_id);

// Ends the streams that watches on the server's panes shared; for disconnect().
void forget_watch_streams(const tmux::Socket& socket);

}  // namespace vordalin::channel
