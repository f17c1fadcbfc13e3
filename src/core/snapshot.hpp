#pragma once

#include <optional>
#include <vector>

#include "core/error.hpp"
#include "core/records.hpp"
#include "runner/wait.hpp"

namespace vordalin::core {

// Every session, window and pane of the server, as one tmux client sees them at one moment;
// with `commandlines` each pane's command line too, from one ps run. Empty when no server
// runs.
Snapshot take_snapshot(const ServerRecord& server, bool commandlines);

// What one server's snapshot gave among many: the snapshot, or the error take_snapshot would
// have raised (ssh's failure, for a remote host), or neither when it was not done in time.
struct SnapshotSlot {
    std::optional<Snapshot> snapshot;
    // Kept as the error itself: copying an exception_ptr needs a newer C++ runtime than the
    // wheel's floor allows.
    std::optional<Error> error;
};

// One snapshot per server, as take_snapshot takes it, all at once: every server's tmux client
// (and then its ps) runs beside the others', as processes on this machine or over ssh.
std::vector<SnapshotSlot> take_snapshots(const std::vector<ServerRecord>& servers, bool commandlines,
                                         runner::Clock::time_point deadline);

}  // namespace vordalin::core
