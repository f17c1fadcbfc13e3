// The pipes between the runner and a child: shared by a run of one child and a run of several.
#pragma once

#include <array>
#include <cstddef>

#include "runner/fd.hpp"
#include "runner/process.hpp"
#include "runner/spawn.hpp"

namespace vordalin::runner {

constexpr std::size_t kReadChunk = 64 * 1024;

// One captured stream: the read end of its pipe and the bytes read from it so far.
struct Sink {
    Fd read_end;
    Captured bytes;

    // One read from the ready pipe; false at end of file.
    bool read_some();
};

// The child's standard streams as a run asks for them: what its fds 0 to 2 become, the write
// ends it gets (ours must go once it has them), and the sinks of stdout and stderr.
struct Plumbing {
    std::array<int, 3> child_fds{kNullFd, kNullFd, kNullFd};
    std::array<Fd, 2> child_ends;
    std::array<Sink, 2> sinks;
};

// Returns 0, or the error number that keeps the run from starting.
int plumb(Streams streams, Plumbing& plumbing);

}  // namespace vordalin::runner
