#pragma once

#include <sched.h>

#include <atomic>

namespace vordalin::runner {

// A lock for the runner's few process-wide resources. It is held for a few instructions or
// one clone, and the interpreter lock keeps callers apart anyway, so it is never contended
// in practice; unlike std::mutex it cannot throw.
class SpinLock {
public:
    void lock() noexcept {
        while (held_.test_and_set(std::memory_order_acquire)) {
            sched_yield();
        }
    }
    void unlock() noexcept { held_.clear(std::memory_order_release); }

private:
    std::atomic_flag held_ = ATOMIC_FLAG_INIT;
};

}  // namespace vordalin::runner
