#include "runner/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "runner/fd.hpp"

extern char** environ;

namespace vordalin::runner {

namespace {

// How long a wait blocks before the interrupt check runs again: the bound on how late a
// signal that arrived just before a blocking call is noticed.
constexpr int kCheckIntervalMs = 100;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr const char* kNullDevice = "/dev/null";

InterruptCheck g_interrupt_check = nullptr;

[[noreturn]] void throw_errno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

Result start_failure(std::string text) {
    Result result;
    result.start_failure = std::move(text);
    return result;
}

class FileActions {
public:
    FileActions() {
        if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0) {
            throw std::system_error(rc, std::generic_category(), "posix_spawn_file_actions_init");
        }
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }

    int open_null(int target, int flags) {
        return posix_spawn_file_actions_addopen(&actions_, target, kNullDevice, flags, 0);
    }
    int dup_to(int fd, int target) { return posix_spawn_file_actions_adddup2(&actions_, fd, target); }
    const posix_spawn_file_actions_t* get() const noexcept { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
public:
    SpawnAttributes() {
        if (int rc = posix_spawnattr_init(&attributes_); rc != 0) {
            throw std::system_error(rc, std::generic_category(), "posix_spawnattr_init");
        }
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }

    // Python ignores SIGPIPE; a child must not inherit that.
    int reset_sigpipe() {
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        if (int rc = posix_spawnattr_setsigdefault(&attributes_, &defaults); rc != 0) {
            return rc;
        }
        return posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGDEF);
    }
    const posix_spawnattr_t* get() const noexcept { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

// A started child that is reaped on every path: a run that ends early kills it first.
class Child {
public:
    explicit Child(pid_t pid) noexcept : pid_(pid) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (!reaped_) {
            kill_and_reap();
        }
    }

    // Blocks until the child exits; true when it exited with code 0.
    bool wait() {
        await_exit();
        int status = 0;
        for (;;) {
            pid_t got = ::waitpid(pid_, &status, 0);
            if (got == pid_) {
                reaped_ = true;
                return WIFEXITED(status) && WEXITSTATUS(status) == 0;
            }
            if (got < 0 && errno == EINTR) {
                check_interrupt();
                continue;
            }
            // ECHILD: someone else reaped it (SIGCHLD ignored); the verdict is lost.
            reaped_ = true;
            return false;
        }
    }

    // Runs the interrupt check; when it asks to stop, the child is killed and reaped.
    void check_interrupt() {
        if (g_interrupt_check != nullptr && g_interrupt_check()) {
            kill_and_reap();
            throw Interrupted{};
        }
    }

private:
    // Sleeps until the child has exited without reaping it, so that a signal that lands
    // just before the wait is still noticed within one check interval.
    void await_exit() {
        Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
        if (!pidfd.valid()) {
            return;
        }
        pollfd watch{pidfd.get(), POLLIN, 0};
        for (;;) {
            int ready = ::poll(&watch, 1, kCheckIntervalMs);
            if (ready > 0) {
                return;
            }
            if (ready < 0 && errno != EINTR) {
                return;
            }
            check_interrupt();
        }
    }

    void kill_and_reap() noexcept {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }

    pid_t pid_;
    bool reaped_ = false;
};

struct Capture {
    Fd read_end;
    std::string* sink;
};

// Reads every captured pipe to end of file, both at once so that a child filling one pipe
// while we wait on the other cannot block.
void drain(std::array<Capture, 2>& captures, std::size_t count, Child& child) {
    std::size_t open = count;
    while (open > 0) {
        std::array<pollfd, 2> watch{};
        std::array<Capture*, 2> owners{};
        nfds_t n = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (captures[i].read_end.valid()) {
                watch[n] = pollfd{captures[i].read_end.get(), POLLIN, 0};
                owners[n] = &captures[i];
                ++n;
            }
        }
        int ready = ::poll(watch.data(), n, kCheckIntervalMs);
        if (ready < 0) {
            if (errno != EINTR) {
                throw_errno("poll");
            }
            child.check_interrupt();
            continue;
        }
        if (ready == 0) {
            child.check_interrupt();
            continue;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (watch[i].revents == 0) {
                continue;
            }
            Capture& capture = *owners[i];
            std::string& sink = *capture.sink;
            std::size_t used = sink.size();
            sink.resize(used + kReadChunk);
            ssize_t got = ::read(capture.read_end.get(), sink.data() + used, kReadChunk);
            if (got < 0) {
                sink.resize(used);
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                throw_errno("read");
            }
            sink.resize(used + static_cast<std::size_t>(got));
            if (got == 0) {
                capture.read_end.reset();
                --open;
            }
        }
    }
}

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { g_interrupt_check = check; }

std::string os_error_text(int e) {
    std::array<char, 256> buffer{};
    // GNU strerror_r: returns the message, which may or may not live in buffer.
    const char* message = ::strerror_r(e, buffer.data(), buffer.size());
    return std::string(message) + " (os error " + std::to_string(e) + ")";
}

Result run(const std::vector<std::string>& argv, Streams streams) {
    std::vector<char*> raw_argv;
    raw_argv.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        if (arg.find('\0') != std::string::npos) {
            return start_failure("nul byte found in provided data");
        }
        raw_argv.push_back(const_cast<char*>(arg.c_str()));
    }
    raw_argv.push_back(nullptr);

    Result result;
    std::array<Capture, 2> captures{Capture{Fd(), &result.out}, Capture{Fd(), &result.err}};
    std::size_t capture_count = 0;
    std::array<Fd, 2> write_ends;

    FileActions actions;
    int rc = 0;
    if (streams.in == Input::kNull) {
        rc = actions.open_null(STDIN_FILENO, O_RDONLY);
    }
    const std::array<std::pair<Output, std::string*>, 2> outputs{
        std::pair{streams.out, &result.out}, std::pair{streams.err, &result.err}};
    for (std::size_t i = 0; i < outputs.size() && rc == 0; ++i) {
        int target = i == 0 ? STDOUT_FILENO : STDERR_FILENO;
        if (outputs[i].first == Output::kNull) {
            rc = actions.open_null(target, O_WRONLY);
            continue;
        }
        std::array<int, 2> fds{};
        if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
            return start_failure(os_error_text(errno));
        }
        captures[capture_count] = Capture{Fd(fds[0]), outputs[i].second};
        ++capture_count;
        write_ends[i] = Fd(fds[1]);
        rc = actions.dup_to(fds[1], target);
    }
    SpawnAttributes attributes;
    if (rc == 0) {
        rc = attributes.reset_sigpipe();
    }
    if (rc != 0) {
        return start_failure(os_error_text(rc));
    }

    pid_t pid = 0;
    rc = ::posix_spawnp(&pid, raw_argv[0], actions.get(), attributes.get(), raw_argv.data(), environ);
    if (rc != 0) {
        return start_failure(os_error_text(rc));
    }
    Child child(pid);
    // Our copies of the write ends must go, or the pipes never reach end of file.
    for (Fd& end : write_ends) {
        end.reset();
    }
    drain(captures, capture_count, child);
    result.success = child.wait();
    return result;
}

bool run_status(const std::vector<std::string>& argv) {
    return run(argv, Streams{Input::kInherit, Output::kNull, Output::kNull}).ok();
}

}  // namespace vordalin::runner
