#include "runner/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "runner/fd.hpp"

extern char** environ;

namespace vordalin::runner {

namespace {

// How long a wait blocks before the interrupt check runs again: the bound on how late a
// signal that arrived just before a blocking call is noticed.
constexpr int kCheckIntervalMs = 100;
constexpr std::size_t kReadChunk = 64 * 1024;
// Standard error is read through a small buffer on the stack: it is short when there is any.
constexpr std::size_t kErrorChunk = 4 * 1024;
// A spare block larger than this goes back to the allocator instead of staying with the thread.
constexpr std::size_t kLargestSpare = 16 * 1024 * 1024;
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
        int status = 0;
        // Once its output has reached end of file the child has usually exited already.
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            reaped_ = true;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        await_exit();
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

// The calling thread's spare output block; empty while a run holds it.
struct Spare {
    Spare() = default;
    Spare(const Spare&) = delete;
    Spare& operator=(const Spare&) = delete;
    ~Spare() { std::free(data); }

    char* data = nullptr;
    std::size_t capacity = 0;
};

thread_local Spare t_spare;

struct Capture {
    Fd read_end;
    Captured* bytes = nullptr;
    std::string* text = nullptr;
};

// One read from a ready pipe into its sink; false at end of file.
bool read_some(Capture& capture) {
    for (;;) {
        ssize_t got = 0;
        if (capture.bytes != nullptr) {
            got = ::read(capture.read_end.get(), capture.bytes->tail(kReadChunk), kReadChunk);
            if (got > 0) {
                capture.bytes->commit(static_cast<std::size_t>(got));
            }
        } else {
            std::array<char, kErrorChunk> chunk;
            got = ::read(capture.read_end.get(), chunk.data(), chunk.size());
            if (got > 0) {
                capture.text->append(chunk.data(), static_cast<std::size_t>(got));
            }
        }
        if (got >= 0) {
            return got > 0;
        }
        if (errno == EAGAIN) {
            return true;
        }
        if (errno != EINTR) {
            throw_errno("read");
        }
    }
}

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
            if (!read_some(*owners[i])) {
                owners[i]->read_end.reset();
                --open;
            }
        }
    }
}

}  // namespace

Captured::Captured() noexcept
    : data_(std::exchange(t_spare.data, nullptr)), capacity_(std::exchange(t_spare.capacity, 0)) {}

Captured::Captured(Captured&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Captured& Captured::operator=(Captured&& other) noexcept {
    if (this != &other) {
        give_back();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

Captured::~Captured() { give_back(); }

char* Captured::tail(std::size_t want) {
    if (capacity_ - size_ < want) {
        std::size_t grown = std::max(capacity_ * 2, size_ + want);
        void* moved = std::realloc(data_, grown);
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(moved);
        capacity_ = grown;
    }
    return data_ + size_;
}

void Captured::give_back() noexcept {
    if (data_ == nullptr) {
        return;
    }
    // Of two blocks the thread keeps the larger, so the spare fits the largest output seen.
    if (capacity_ <= kLargestSpare && capacity_ > t_spare.capacity) {
        std::swap(data_, t_spare.data);
        std::swap(capacity_, t_spare.capacity);
    }
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

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
    std::array<Capture, 2> captures{};
    std::size_t capture_count = 0;
    std::array<Fd, 2> write_ends;

    FileActions actions;
    int rc = 0;
    if (streams.in == Input::kNull) {
        rc = actions.open_null(STDIN_FILENO, O_RDONLY);
    }
    const std::array<Output, 2> modes{streams.out, streams.err};
    for (std::size_t i = 0; i < modes.size() && rc == 0; ++i) {
        int target = i == 0 ? STDOUT_FILENO : STDERR_FILENO;
        if (modes[i] == Output::kNull) {
            rc = actions.open_null(target, O_WRONLY);
            continue;
        }
        std::array<int, 2> fds{};
        if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
            return start_failure(os_error_text(errno));
        }
        captures[capture_count] = i == 0 ? Capture{Fd(fds[0]), &result.out, nullptr}
                                         : Capture{Fd(fds[0]), nullptr, &result.err};
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
