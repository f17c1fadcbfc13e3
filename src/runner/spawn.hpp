// Starting a child process: the runner's one way in to the kernel's process creation.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "runner/child.hpp"
#include "runner/fd.hpp"

namespace vordalin::runner {

// What one of the child's descriptors 0, 1 and 2 becomes: the caller's own, /dev/null, or
// (any value from 3 up) a copy of that descriptor of ours.
constexpr int kInheritFd = -1;
constexpr int kNullFd = -2;

struct SpawnRequest {
    // argv[0] is looked up on PATH; the array ends with a null pointer.
    char* const* argv;
    std::array<int, 3> stdio;
};

// Starts the program with an empty signal mask, SIGPIPE and SIGXFSZ at their defaults, every
// other disposition as ours, and our environment. Returns 0 with `child` set, or the error
// number of what kept the program from starting.
//
// Where the kernel allows it the child is made without copying our address space and with
// its pidfd in the same step, so the pidfd names it however soon it ends and whoever reaps
// it; from Linux 6.15 on the pidfd still tells its exit status when someone else did (the
// kernel with SIGCHLD ignored, a waitpid(-1) in a signal handler). Where the kernel does not
// (clone refused by a filter, a kernel before 5.4), the child is held before exec until its
// pidfd is open, which keeps that promise too. Only where no clone of ours can be made (a tool
// that emulates clones as forks) does posix_spawnp start it, with the pidfd opened just after.
int spawn(const SpawnRequest& request, Child& child);

// The argument vector as exec takes it; false when an argument holds a NUL byte, which would
// cut it short.
bool marshal(const std::vector<std::string>& argv, std::vector<char*>& raw);

// With fds 0 to 2 closed (daemons do that) pipe2 hands them out; the child's end must sit
// above them, or setting up the child's 0 to 2 could overwrite it before it is used. Returns
// 0 or the error number.
int lift_above_stdio(Fd& fd);

}  // namespace vordalin::runner
