#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include "runner/process.hpp"
#include "runner/spin_lock.hpp"

namespace vordalin::runner {

namespace {

// A block larger than this goes back to the allocator instead of becoming the spare.
constexpr std::size_t kLargestSpare = 16 * 1024 * 1024;

// The process's spare output block; empty while a run holds it. Kept until the process ends,
// with nothing to destroy, so no thread still in a call at exit finds it gone.
struct Spare {
    SpinLock lock;
    char* data = nullptr;
    std::size_t capacity = 0;
};

Spare g_spare;

}  // namespace

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

Captured::~Captured() {
    give_back();
}

char* Captured::tail(std::size_t want) {
    if (data_ == nullptr) {
        std::lock_guard<SpinLock> held(g_spare.lock);
        data_ = std::exchange(g_spare.data, nullptr);
        capacity_ = std::exchange(g_spare.capacity, 0);
    }
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
    // Of two blocks the larger stays, so the spare fits the largest output seen.
    if (capacity_ <= kLargestSpare) {
        std::lock_guard<SpinLock> held(g_spare.lock);
        if (capacity_ > g_spare.capacity) {
            std::swap(data_, g_spare.data);
            std::swap(capacity_, g_spare.capacity);
        }
    }
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

}  // namespace vordalin::runner
