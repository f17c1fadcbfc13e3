#include "runner/child.hpp"
#include "runner/process.hpp"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <utility>

#ifndef SYS_pidfd_send_signal
#define SYS_pidfd_send_signal 424
#endif

namespace vordalin::runner {

namespace {

// What PIDFD_GET_INFO answers (Linux 6.13; the exit status since 6.15), in its first layout.
struct PidfdInfo {
    std::uint64_t mask;
    std::uint64_t cgroupid;
    std::uint32_t ids[11];
    std::int32_t exit_code;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
constexpr std::uint64_t kPidfdInfoPid = 1U << 0;
constexpr std::uint64_t kPidfdInfoExit = 1U << 3;
// How often the question is asked again while the reaped task is still on its way out: the
// first few right away, the rest a millisecond apart, about a second in all.
constexpr int kQuickAsks = 64;
constexpr int kAsks = kQuickAsks + 1000;
// ESRCH answers to accept before taking the task as gone with no status kept.
constexpr int kVanishedAsks = 3;

// The wait status of a child that someone else reaped: the kernel keeps it with the pidfd.
// A reap makes the child unwaitable a moment before the kernel stores that status (it does
// so as the task is released, which the exiting task itself does when the kernel reaped it
// for an ignored SIGCHLD); meanwhile the pidfd still shows the task, so we ask again. A task
// that goes while the kernel looks at it gives ESRCH once; asked again, a kernel that keeps
// statuses has one by then, and one that keeps none (before 6.15) answers ESRCH for good.
bool status_kept_by_pidfd(int pidfd, int& status) noexcept {
    int vanished = 0;
    for (int ask = 1; pidfd >= 0 && ask <= kAsks; ++ask) {
        PidfdInfo info{};
        info.mask = kPidfdInfoExit;
        if (::ioctl(pidfd, kPidfdGetInfo, &info) == 0) {
            if ((info.mask & kPidfdInfoExit) != 0) {
                status = info.exit_code;
                return true;
            }
            if ((info.mask & kPidfdInfoPid) == 0) {
                return false;
            }
        } else if (errno != ESRCH || ++vanished == kVanishedAsks) {
            return false;
        }
        if (ask < kQuickAsks) {
            ::sched_yield();
        } else {
            ::poll(nullptr, 0, 1);
        }
    }
    return false;
}

}  // namespace

void throw_os_failure(const char* call) {
    throw std::system_error(errno, std::generic_category(), call);
}

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        kill_and_reap();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
    }
    return *this;
}

// __WALL: a child with no exit signal is invisible to a wait without it.
int Child::wait_once(int options, siginfo_t& info) noexcept {
    info = siginfo_t{};
    if (pidfd_.valid()) {
        return ::waitid(kWaitPidfd, static_cast<id_t>(pidfd_.get()), &info, options | WEXITED | __WALL);
    }
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, options | WEXITED | __WALL);
}

bool Child::reap(bool block, std::optional<int>& returncode) {
    siginfo_t info;
    returncode.reset();
    if (wait_once(block ? 0 : WNOHANG, info) == 0) {
        if (info.si_pid == 0) {
            return false;
        }
        returncode = info.si_code == CLD_EXITED ? info.si_status : -info.si_status;
    } else if (errno == EINTR) {
        return false;
    } else if (errno == ECHILD) {
        // Reaped by someone else: the kernel, with SIGCHLD ignored, or a waitpid(-1) in a
        // signal handler. Kernels before 6.15 keep no status for the pidfd: it is lost then.
        int status = 0;
        if (status_kept_by_pidfd(pidfd_.get(), status)) {
            returncode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
    } else {
        throw_os_failure("waitid");
    }
    pid_ = -1;
    pidfd_.reset();
    return true;
}

bool Child::exited_within(int timeout_ms) {
    pollfd watch{pidfd_.get(), POLLIN, 0};
    int ready = ::poll(&watch, 1, timeout_ms);
    if (ready < 0 && errno != EINTR) {
        throw_os_failure("poll");
    }
    return ready > 0;
}

void Child::kill_and_reap() noexcept {
    if (pid_ < 0) {
        return;
    }
    if (pidfd_.valid()) {
        ::syscall(SYS_pidfd_send_signal, pidfd_.get(), SIGKILL, nullptr, 0);
    } else {
        ::kill(pid_, SIGKILL);
    }
    siginfo_t info;
    while (wait_once(0, info) != 0 && errno == EINTR) {
    }
    pid_ = -1;
    pidfd_.reset();
}

// Runs the interrupt check; when it asks to stop, the child is killed and reaped.
void check_interrupt(Child& child) {
    if (interrupt_requested()) {
        child.kill_and_reap();
        throw Interrupted{};
    }
}

// Blocks until the child exits; its return code, when it is known.
std::optional<int> wait_for_exit(Child& child) {
    std::optional<int> returncode;
    // Once its output has reached end of file the child has usually exited already.
    if (child.reap(false, returncode)) {
        return returncode;
    }
    // Sleeping on the pidfd, not in waitid, notices a signal that lands just before the
    // sleep within one check interval.
    if (child.has_pidfd()) {
        while (!child.exited_within(kCheckIntervalMs)) {
            check_interrupt(child);
        }
    }
    while (!child.reap(true, returncode)) {
        check_interrupt(child);
    }
    return returncode;
}

}  // namespace vordalin::runner
