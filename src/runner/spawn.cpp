#include "runner/spawn.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
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
// Skips the pidfd clone for every child of the process, read once: for tests. "posix_spawn"
// skips the held clone too.
constexpr const char* kForceFallback = "VORDALIN_SPAWN_FALLBACK";
constexpr const char* kForcePosixSpawn = "posix_spawn";

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
// page below it, and lent to one clone at a time (the parent waits until the child has exec'd
// or exited).
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

// A clone that a filter turned down: nothing started, and the next way may work.
bool refused_by_kernel(int error) noexcept {
    return error == ENOSYS || error == EPERM;
}

// Every signal blocked and the shared stack held for as long as a child may run on our memory:
// no handler may run in the child before it has reset them, and none in us while the child
// writes the errno it shares with us.
class ChildOnOurMemory {
public:
    explicit ChildOnOurMemory(ChildStack& stack) : stack_(stack), held_(stack.lock) {}

    // Returns the pid, or -1 and errno.
    pid_t clone(int (*main)(void*), void* arg, int flags, int* pidfd, std::uint32_t* cleared) noexcept {
        return ::clone(main, stack_.top, flags, arg, pidfd, nullptr, cleared);
    }

private:
    ChildStack& stack_;
    std::lock_guard<SpinLock> held_;
    SignalsBlocked blocked_;
};

constexpr int kCloneFlags = CLONE_VM | CLONE_VFORK | CLONE_PIDFD;

// The pidfd clone: no copy of our memory (the child borrows the shared stack and we sleep
// until it has exec'd or exited), and a pidfd. No exit signal: a child that fails before exec
// sends no SIGCHLD (exec gives the program SIGCHLD back). Returns the pid, or -1 and errno.
pid_t clone_child(ChildStack& stack, int (*main)(void*), void* arg, int& pidfd) {
    int error = 0;
    pid_t pid = -1;
    {
        ChildOnOurMemory child(stack);
        pid = child.clone(main, arg, kCloneFlags, &pidfd, nullptr);
        error = errno;
    }
    errno = error;
    return pid;
}

ChildPlan plan_for(const SpawnRequest& request) {
    const char* path = std::getenv("PATH");
    return {request.argv, path != nullptr ? path : kDefaultPath, request.stdio, 0};
}

// The started child, or the error that kept its program from starting: a child that failed
// before exec has exited already, and `started` collects it as it goes.
int hand_over(Child started, int error, Child& child) {
    if (error != 0) {
        return error;
    }
    child = std::move(started);
    return 0;
}

// `refused` tells a clone the kernel turned down (nothing started) from a program that did
// not start.
int spawn_by_clone(const SpawnRequest& request, Child& child, bool& refused) {
    ChildPlan plan = plan_for(request);
    int pidfd = -1;
    pid_t pid = clone_child(*child_stack(), child_main, &plan, pidfd);
    if (pid < 0) {
        refused = refused_by_kernel(errno);
        return errno;
    }
    return hand_over(Child(pid, Fd(pidfd)), plan.error, child);
}

// Where the pidfd clone is refused, the pidfd can only be opened once the child exists, and a
// child that could exec and exit first (with SIGCHLD ignored the kernel reaps it at once)
// would take its exit status with it. So the child is held: it runs on our memory, as with
// the pidfd clone, but we do not sleep; it waits at a gate until we hold its pidfd. The kernel
// clears `on_our_memory` and wakes us once it has exec'd or exited (CLONE_CHILD_CLEARTID), the
// same moment the pidfd clone would wake us. The gate is a pipe, so a child whose parent dies
// meanwhile reads end of file and leaves.
struct HeldPlan {
    ChildPlan plan;
    std::array<int, 2> gate;
    alignas(std::atomic_ref<std::uint32_t>::required_alignment) std::uint32_t on_our_memory = 1;
};

constexpr char kGateOpen = 'x';

// Until the gate opens the parent may read its errno, which it shares with us: nothing here
// may set it (neither call fails but by the parent's death, and then errno no longer matters).
VORDALIN_CHILD_CODE int held_child_main(void* arg) {
    auto& held = *static_cast<HeldPlan*>(arg);
    ::close(held.gate[1]);
    char word = 0;
    if (::read(held.gate[0], &word, 1) != 1 || word != kGateOpen) {
        ::_exit(127);
    }
    return child_main(&held.plan);
}

constexpr int kHeldFlags = CLONE_VM | CLONE_CHILD_CLEARTID;

void await_our_memory(HeldPlan& held) noexcept {
    std::atomic_ref<std::uint32_t> word(held.on_our_memory);
    while (word.load(std::memory_order_acquire) != 0) {
        // Not FUTEX_PRIVATE_FLAG: the kernel's wake-up at exec or exit is a shared one.
        ::syscall(SYS_futex, &held.on_our_memory, FUTEX_WAIT, 1, nullptr, nullptr, 0);
    }
}

int spawn_held(const SpawnRequest& request, Child& child, bool& refused) {
    HeldPlan held{plan_for(request), {-1, -1}};
    if (::pipe2(held.gate.data(), O_CLOEXEC) != 0) {
        return errno;
    }
    // Our read end stays open, so that the write cannot raise SIGPIPE should the child be
    // killed before it reads.
    Fd read_end(held.gate[0]);
    Fd write_end(held.gate[1]);
    pid_t pid = -1;
    Fd pidfd;
    {
        ChildOnOurMemory on_our_memory(*child_stack());
        pid = on_our_memory.clone(held_child_main, &held, kHeldFlags, nullptr, &held.on_our_memory);
        if (pid < 0) {
            refused = refused_by_kernel(errno);
            return errno;
        }
        int opened = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        // A kernel without pidfds, or a filter refusing them: the wait goes by pid, as it must.
        if (opened >= 0 || refused_by_kernel(errno)) {
            pidfd = Fd(opened);
            char word = kGateOpen;
            if (::write(write_end.get(), &word, 1) != 1) {
                held.plan.error = errno;
            }
        } else {
            held.plan.error = errno;
        }
        // A gate shut for good turns the child away before exec.
        write_end.reset();
        await_our_memory(held);
    }
    return hand_over(Child(pid, std::move(pidfd)), held.plan.error, child);
}

bool forced(const char* way) {
    const char* value = std::getenv(kForceFallback);
    return value != nullptr && *value != '\0' && (way == nullptr || std::strcmp(value, way) == 0);
}

// What a probe's child leaves in our memory, where the clone really shares it.
struct ProbeMarks {
    volatile int reached = 0;
    alignas(std::atomic_ref<std::uint32_t>::required_alignment) std::uint32_t on_our_memory = 1;
};

VORDALIN_CHILD_CODE int probe_main(void* arg) {
    static_cast<ProbeMarks*>(arg)->reached = 1;
    ::_exit(0);
}

int wait_for_probe(idtype_t type, id_t id, siginfo_t& info) {
    int waited = -1;
    while ((waited = ::waitid(type, id, &info, WEXITED | __WALL)) != 0 && errno == EINTR) {
    }
    return waited;
}

// Whether children can be made with `flags` here: no filter refusing the clone, a child that
// can be waited for (by its pidfd, where the clone is to give one: Linux 5.2 gives pidfds that
// only 5.4 waits on), and memory really shared with it, the kernel's clearing of the word too
// where asked. A tool that emulates the clone as a fork would leave the child's writes, its
// error number among them, in a copy of our memory.
bool probe(int flags) {
    ChildStack* stack = child_stack();
    if (stack == nullptr) {
        return false;
    }
    ProbeMarks marks;
    int pidfd = -1;
    bool waited = false;
    {
        ChildOnOurMemory child(*stack);
        pid_t pid = child.clone(probe_main, &marks, flags, &pidfd, &marks.on_our_memory);
        if (pid >= 0) {
            siginfo_t info{};
            bool wants_pidfd = (flags & CLONE_PIDFD) != 0;
            waited = wants_pidfd && pidfd >= 0 && wait_for_probe(kWaitPidfd, static_cast<id_t>(pidfd), info) == 0;
            if (!waited) {
                waited = wait_for_probe(P_PID, static_cast<id_t>(pid), info) == 0 && !wants_pidfd;
            }
            waited = waited && info.si_code == CLD_EXITED && info.si_status == 0;
        }
    }
    Fd owned(pidfd);
    bool cleared = (flags & CLONE_CHILD_CLEARTID) == 0 ||
                   std::atomic_ref<std::uint32_t>(marks.on_our_memory).load(std::memory_order_acquire) == 0;
    return waited && marks.reached == 1 && cleared;
}

bool clone_works() {
    return !forced(nullptr) && probe(kCloneFlags);
}

// Such a tool may end the process on a clone it cannot emulate (valgrind does on the held
// one), but emulates the vfork-like clone as a fork, which the first probe shows.
bool held_clone_works() {
    return !forced(kForcePosixSpawn) && probe(CLONE_VM | CLONE_VFORK) && probe(kHeldFlags);
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

// The ways to make a child, best first: posix_spawnp is for where neither clone can be made,
// and there a child with SIGCHLD ignored may take its exit status with it.
enum class Way { kClone, kHeld, kPosixSpawn };

std::atomic<Way>& chosen_way() {
    static std::atomic<Way> way{clone_works() ? Way::kClone : held_clone_works() ? Way::kHeld : Way::kPosixSpawn};
    return way;
}

}  // namespace

int spawn(const SpawnRequest& request, Child& child) {
    for (;;) {
        Way way = chosen_way().load(std::memory_order_relaxed);
        bool refused = false;
        int error = way == Way::kClone  ? spawn_by_clone(request, child, refused)
                    : way == Way::kHeld ? spawn_held(request, child, refused)
                                        : spawn_by_posix_spawn(request, child);
        if (!refused) {
            return error;
        }
        // A filter installed since the probe turns the clone down; from now on, the next way.
        chosen_way().store(way == Way::kClone && held_clone_works() ? Way::kHeld : Way::kPosixSpawn,
                           std::memory_order_relaxed);
    }
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
