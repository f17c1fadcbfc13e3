#include "runner/wait.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "runner/child.hpp"
#include "runner/process.hpp"

namespace vordalin::runner {

namespace {

ReleaseLock g_release = nullptr;
RetakeLock g_retake = nullptr;

}  // namespace

void set_lock_hooks(ReleaseLock release, RetakeLock retake) noexcept {
    g_release = release;
    g_retake = retake;
}

void* release_lock() noexcept {
    return g_release != nullptr && g_retake != nullptr ? g_release() : nullptr;
}

void retake_lock(void* state) {
    if (g_release != nullptr && g_retake != nullptr) {
        g_retake(state);
    }
}

int wait_readable(std::span<pollfd> fds, Clock::time_point deadline) {
    if (Clock::now() >= deadline) {
        int ready = 0;
        do {
            ready = ::poll(fds.data(), fds.size(), 0);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            throw_os_failure("poll");
        }
        return ready;
    }
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            return 0;
        }
        int timeout = static_cast<int>(std::min<decltype(left)>(left, kCheckIntervalMs));
        auto [ready, error] = without_lock([&]() noexcept {
            int count = ::poll(fds.data(), fds.size(), timeout);
            return std::pair{count, errno};
        });
        if (ready > 0) {
            return ready;
        }
        if (ready < 0 && error != EINTR) {
            errno = error;
            throw_os_failure("poll");
        }
        if (interrupt_requested()) {
            throw Interrupted{};
        }
    }
}

}  // namespace vordalin::runner
