#pragma once

#include "core/records.hpp"

namespace vordalin::core {

// Every session, window and pane of the server, as one tmux client sees them at one moment;
// with `commandlines` each pane's command line too, from one ps run. Empty when no server
// runs.
Snapshot take_snapshot(const ServerRecord& server, bool commandlines);

}  // namespace vordalin::core
