// A started child process, and how the runner waits for it.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <optional>
#include <utility>

#include "runner/fd.hpp"

namespace vordalin::runner {

// waitid's P_PIDFD (Linux 5.4), missing from older C library headers.
constexpr auto kWaitPidfd = static_cast<idtype_t>(3);

// Throws std::system_error for errno, naming the call: for a system call that fails once
// the child runs, which the caller sees as an internal failure rather than a start failure.
[[noreturn]] void throw_os_failure(const char* call);

// A child of ours that is reaped on every path: one still running when its owner goes is
// killed first. The pidfd names it when the kernel gave one; signals and waits then go
// through it, so they cannot reach a process that reused the pid.
class Child {
public:
    Child() noexcept = default;
    Child(pid_t pid, Fd pidfd) noexcept : pid_(pid), pidfd_(std::move(pidfd)) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child() { kill_and_reap(); }

    bool has_pidfd() const noexcept { return pidfd_.valid(); }
    pid_t pid() const noexcept { return pid_; }

    // Collects the exit status. True once that is done, with `returncode` the exit code, or
    // minus the number of the signal that ended the child, or nothing when someone else
    // collected the status first and the kernel kept none. False while the child runs
    // (block false) or when a signal interrupted the wait.
    bool reap(bool block, std::optional<int>& returncode);
    // Sleeps until the child has exited, without collecting it, or the time is up or a
    // signal arrives; true when it has exited. Needs the pidfd.
    bool exited_within(int timeout_ms);
    void kill_and_reap() noexcept;
    // Lets go of the child without a signal or a wait: for a process that only inherited it.
    void forget() noexcept {
        pid_ = -1;
        pidfd_.reset();
    }

private:
    int wait_once(int options, siginfo_t& info) noexcept;

    pid_t pid_ = -1;
    Fd pidfd_;
};

// How long a wait blocks before the interrupt check runs again: the bound on how late a
// signal that arrived just before a blocking call is noticed.
constexpr int kCheckIntervalMs = 100;

// Runs the interrupt check; when it asks to stop, the child is killed and reaped, and
// Interrupted is thrown.
void check_interrupt(Child& child);

// Blocks until the child exits; its return code, when it is known.
std::optional<int> wait_for_exit(Child& child);

}  // namespace vordalin::runner
