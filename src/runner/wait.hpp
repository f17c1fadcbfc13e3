// Waiting on descriptors while other threads of the embedding interpreter run.
#pragma once

#include <poll.h>

#include <chrono>
#include <span>

namespace vordalin::runner {

using Clock = std::chrono::steady_clock;

// A pair that lets other threads run while this one blocks and then takes their lock back:
// the extension installs one that releases and retakes the interpreter lock. Only a thread
// that holds the lock may use it. Retaking may end the thread (an interpreter that is
// finalizing does that), so it runs outside any destructor.
using ReleaseLock = void* (*)() noexcept;
using RetakeLock = void (*)(void*);
void set_lock_hooks(ReleaseLock release, RetakeLock retake) noexcept;

void* release_lock() noexcept;
void retake_lock(void* state);

// Runs `blocking`, which must not throw, with the lock released.
template <class Blocking>
auto without_lock(Blocking&& blocking) {
    void* state = release_lock();
    auto result = blocking();
    retake_lock(state);
    return result;
}

// Polls the descriptors until one is ready or the deadline passes, without the lock; between
// slices of kCheckIntervalMs, and after a signal, the interrupt check runs with the lock
// held. Returns poll's count of ready descriptors, 0 at the deadline. A deadline already
// past polls once without waiting, touching neither the lock nor the check: any thread may
// do that. Throws Interrupted when the check asks to stop, std::system_error when poll fails.
int wait_readable(std::span<pollfd> fds, Clock::time_point deadline);

}  // namespace vordalin::runner
