#include "runner/spawn.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "runner/spin_lock.hpp"

extern char** environ;

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif
#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif

// Code that runs in a child sharing our memory, before exec. It must not allocate, lock, or
// touch the instrumented stack shadow that the sanitizers keep for our own threads.
#define VORDALIN_CHILD_CODE __attribute__((no_sanitize("address", "undefined")))

namespace vordalin::runner {

namespace {

constexpr const char* kNullDevice = "/dev/null";
// Where the C library's exec functions look when PATH is unset.
constexpr const char* kDefaultPath = "/bin:/usr/bin";
// The signal set as the kernel takes it; the C library's sigset_t is larger.
constexpr std::size_t kKernelSigsetBytes = _NSIG / 8;
// Enough for the child's path buffer and the dynamic linker's lazy binding of a first call.
constexpr std::size_t kChildStackBytes = 64 * 1024;
// Forces the posix_spawn way for every child of the process, read once: for tests.
constexpr const char* kForceFallback = "VORDALIN_SPAWN_FALLBACK";

// Sets the thread's signal mask with the raw system call: the C library's wrappers refuse to
// block its own internal signals, and a child sharing our memory must not run any handler.
int set_signal_mask(const sigset_t* mask, sigset_t* previous) noexcept {
    return static_cast<int>(::syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, previous, kKernelSigsetBytes));
}

// Every signal blocked on the calling thread for the life of the object.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t all;
        std::memset(&all, 0xff, sizeof all);
        set_signal_mask(&all, &saved_);
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;
    ~SignalsBlocked() { set_signal_mask(&saved_, nullptr); }

private:
    sigset_t saved_;
};

// The stack that children run on until they exec: one per process, mapped once with a guard
// page below it, and lent to one clone at a time (the parent sleeps until the child execs).
struct ChildStack {
    SpinLock lock;
    char* top = nullptr;
};

ChildStack* child_stack() noexcept {
    static ChildStack* stack = []() -> ChildStack* {
        long page = ::sysconf(_SC_PAGESIZE);
        std::size_t guard = page > 0 ? static_cast<std::size_t>(page) : 4096;
        void* base = ::mmap(nullptr, guard + kChildStackBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (base == MAP_FAILED) {
            return nullptr;
        }
        if (::mprotect(base, guard, PROT_NONE) != 0) {
            ::munmap(base, guard + kChildStackBytes);
            return nullptr;
        }
        static ChildStack made;
        made.top = static_cast<char*>(base) + guard + kChildStackBytes;
        return &made;
    }();
    return stack;
}

// What the child needs, all prepared before the clone; `error` is its only answer.
struct ChildPlan {
    char* const* argv;
    const char* path;
    std::array<int, 3> stdio;
    int error;
};

// Handlers go back to the default before any signal is unblocked: a handler of ours running
// in the child would act on our memory. SIGPIPE and SIGXFSZ, which Python ignores, go back
// too; other ignored signals stay ignored, as exec would leave them.
VORDALIN_CHILD_CODE void reset_signal_dispositions() {
    struct sigaction reset{};
    reset.sa_handler = SIG_DFL;
    for (int sig = 1; sig < _NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) {
            continue;
        }
        if (sig != SIGPIPE && sig != SIGXFSZ) {
            struct sigaction current{};
            // The C library refuses to show its internal signals; their handlers ignore
            // anything not sent by their own process.
            if (::sigaction(sig, nullptr, &current) != 0 || current.sa_handler == SIG_DFL ||
                current.sa_handler == SIG_IGN) {
                continue;
            }
        }
        ::sigaction(sig, &reset, nullptr);
    }
}

// Sources other than /dev/null are 3 or above (the runner moves its pipe ends there), so
// filling 0, 1 and 2 in order never overwrites a source still needed.
VORDALIN_CHILD_CODE bool redirect_stdio(const std::array<int, 3>& stdio) {
    for (int target = 0; target < 3; ++target) {
        int source = stdio[static_cast<std::size_t>(target)];
        if (source == kInheritFd) {
            continue;
        }
        bool opened = source == kNullFd;
        if (opened) {
            source = ::open(kNullDevice, target == 0 ? O_RDONLY : O_WRONLY);
            if (source < 0) {
                return false;
            }
            if (source == target) {
                continue;
            }
        }
        if (::dup2(source, target) < 0) {
            return false;
        }
        if (opened) {
            ::close(source);
        }
    }
    return true;
}

// The search posix_spawnp makes: each PATH entry in turn (an empty one is the current
// directory), on past entries where the file is missing or denied, and no shell for a file
// that is no executable. Leaves errno as that search would report it.
VORDALIN_CHILD_CODE void exec_on_path(const ChildPlan& plan) {
    const char* file = plan.argv[0];
    if (*file == '\0') {
        errno = ENOENT;
        return;
    }
    if (std::strchr(file, '/') != nullptr) {
        ::execve(file, plan.argv, environ);
        return;
    }
    std::size_t file_len = std::strlen(file);
    char candidate[PATH_MAX];
    bool denied = false;
    for (const char* dir = plan.path;;) {
        const char* end = ::strchrnul(dir, ':');
        std::size_t dir_len = static_cast<std::size_t>(end - dir);
        if (dir_len + 1 + file_len < sizeof candidate) {
            std::size_t at = 0;
            if (dir_len > 0) {
                std::memcpy(candidate, dir, dir_len);
                candidate[dir_len] = '/';
                at = dir_len + 1;
            }
            std::memcpy(candidate + at, file, file_len + 1);
            ::execve(candidate, plan.argv, environ);
            if (errno == EACCES) {
                denied = true;
            } else if (errno != ENOENT && errno != ENOTDIR && errno != ESTALE && errno != ENODEV &&
                       errno != ETIMEDOUT) {
                return;
            }
        }
        if (*end == '\0') {
            break;
        }
        dir = end + 1;
    }
    errno = denied ? EACCES : ENOENT;
}

VORDALIN_CHILD_CODE int child_main(void* arg) {
    auto& plan = *static_cast<ChildPlan*>(arg);
    reset_signal_dispositions();
    if (redirect_stdio(plan.stdio)) {
        sigset_t none;
        sigemptyset(&none);
        set_signal_mask(&none, nullptr);
        exec_on_path(plan);
    }
    plan.error = errno;
    ::_exit(127);
}

VORDALIN_CHILD_CODE int probe_main(void* arg) {
    *static_cast<volatile int*>(arg) = 1;
    ::_exit(0);
}

// The clone: no copy of our memory (the child borrows the shared stack and we sleep until it
// has exec'd or exited), and a pidfd. No exit signal: a child that fails before exec sends no
// SIGCHLD (exec gives the program SIGCHLD back). All signals stay blocked meanwhile, so no
// handler runs in the child before it has reset them. Returns the pid, or -1 and errno.
pid_t clone_child(ChildStack& stack, int (*main)(void*), void* arg, int& pidfd) {
    std::lock_guard<SpinLock> held(stack.lock);
    int error = 0;
    pid_t pid = -1;
    {
        SignalsBlocked blocked;
        pid = ::clone(main, stack.top, CLONE_VM | CLONE_VFORK | CLONE_PIDFD, arg, &pidfd);
        error = errno;
    }
    errno = error;
    return pid;
}

// Whether this process can make children that way: a kernel that gives pidfds and waits on
// them, no filter refusing the clone, and memory really shared with the child (a tool that
// emulates the clone as a fork would hide the child's error number from us).
bool clone_works() {
    const char* forced = std::getenv(kForceFallback);
    ChildStack* stack = child_stack();
    if ((forced != nullptr && *forced != '\0') || stack == nullptr) {
        return false;
    }
    volatile int shared = 0;
    int pidfd = -1;
    pid_t pid = clone_child(*stack, probe_main, const_cast<int*>(&shared), pidfd);
    if (pid < 0) {
        return false;
    }
    Fd owned(pidfd);
    siginfo_t info{};
    int waited = -1;
    do {
        waited = ::waitid(kWaitPidfd, static_cast<id_t>(pidfd), &info, WEXITED | __WALL);
    } while (waited != 0 && errno == EINTR);
    if (waited != 0) {
        while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | __WALL) != 0 && errno == EINTR) {
        }
    }
    return waited == 0 && shared == 1;
}

std::atomic<bool>& clone_allowed() {
    static std::atomic<bool> allowed{clone_works()};
    return allowed;
}

// `refused` tells a clone the kernel turned down (nothing started) from a program that did
// not start.
int spawn_by_clone(const SpawnRequest& request, Child& child, bool& refused) {
    const char* path = std::getenv("PATH");
    ChildPlan plan{request.argv, path != nullptr ? path : kDefaultPath, request.stdio, 0};
    int pidfd = -1;
    pid_t pid = clone_child(*child_stack(), child_main, &plan, pidfd);
    if (pid < 0) {
        refused = errno == ENOSYS || errno == EPERM;
        return errno;
    }
    // A child that failed before exec has exited already; the destructor then collects it.
    Child started(pid, Fd(pidfd));
    if (plan.error != 0) {
        return plan.error;
    }
    child = std::move(started);
    return 0;
}

// A posix_spawn file-actions or attributes object, destroyed on every path that made it.
template <class Object, int (*kInit)(Object*), int (*kDestroy)(Object*)>
class SpawnObject {
public:
    SpawnObject() noexcept : error_(kInit(&object_)) {}
    SpawnObject(const SpawnObject&) = delete;
    SpawnObject& operator=(const SpawnObject&) = delete;
    ~SpawnObject() {
        if (error_ == 0) {
            kDestroy(&object_);
        }
    }

    int error() const noexcept { return error_; }
    Object* get() noexcept { return &object_; }

private:
    Object object_;
    int error_;
};

using FileActions =
    SpawnObject<posix_spawn_file_actions_t, posix_spawn_file_actions_init, posix_spawn_file_actions_destroy>;
using SpawnAttributes = SpawnObject<posix_spawnattr_t, posix_spawnattr_init, posix_spawnattr_destroy>;

// The state the clone path starts children in: an empty mask, SIGPIPE and SIGXFSZ at their
// defaults.
int start_clean(posix_spawnattr_t* attributes) noexcept {
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    int rc = posix_spawnattr_setsigmask(attributes, &none);
    if (rc == 0) {
        rc = posix_spawnattr_setsigdefault(attributes, &defaults);
    }
    if (rc == 0) {
        rc = posix_spawnattr_setflags(attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    return rc;
}

int spawn_by_posix_spawn(const SpawnRequest& request, Child& child) {
    FileActions actions;
    int rc = actions.error();
    for (int target = 0; target < 3 && rc == 0; ++target) {
        int source = request.stdio[static_cast<std::size_t>(target)];
        if (source == kNullFd) {
            int flags = target == 0 ? O_RDONLY : O_WRONLY;
            rc = posix_spawn_file_actions_addopen(actions.get(), target, kNullDevice, flags, 0);
        } else if (source != kInheritFd) {
            rc = posix_spawn_file_actions_adddup2(actions.get(), source, target);
        }
    }
    SpawnAttributes attributes;
    if (rc == 0) {
        rc = attributes.error();
    }
    if (rc == 0) {
        rc = start_clean(attributes.get());
    }
    if (rc != 0) {
        return rc;
    }
    pid_t pid = -1;
    rc = ::posix_spawnp(&pid, request.argv[0], actions.get(), attributes.get(), request.argv, environ);
    if (rc != 0) {
        return rc;
    }
    // Fails only if the child has been reaped already (SIGCHLD ignored); the wait then goes by pid.
    child = Child(pid, Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
    return 0;
}

}  // namespace

int spawn(const SpawnRequest& request, Child& child) {
    if (clone_allowed().load(std::memory_order_relaxed)) {
        bool refused = false;
        int error = spawn_by_clone(request, child, refused);
        if (!refused) {
            return error;
        }
        // A filter installed since the probe turns the clone down; from now on, the other way.
        clone_allowed().store(false, std::memory_order_relaxed);
    }
    return spawn_by_posix_spawn(request, child);
}

// The argument vector as exec takes it; false when an argument holds a NUL byte, which would
// cut it short.
bool marshal(const std::vector<std::string>& argv, std::vector<char*>& raw) {
    raw.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        if (arg.find('\0') != std::string::npos) {
            return false;
        }
        raw.push_back(const_cast<char*>(arg.c_str()));
    }
    raw.push_back(nullptr);
    return true;
}

// With fds 0 to 2 closed (daemons do that) pipe2 hands them out; the child's end must sit
// above them, or setting up the child's 0 to 2 could overwrite it before it is used.
int lift_above_stdio(Fd& fd) {
    if (fd.get() > STDERR_FILENO) {
        return 0;
    }
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        return errno;
    }
    fd = Fd(moved);
    return 0;
}

}  // namespace vordalin::runner
