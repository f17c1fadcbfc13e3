#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include "runner/process.hpp"
#include "runner/spin_lock.hpp"

namespace vordalin::runner {

namespace {

// A block larger than this goes back to the system instead of becoming the spare.
constexpr std::size_t kLargestSpare = 16 * 1024 * 1024;
// Blocks from this size on are mapped from the system directly, and unmapped when let go. The
// C library keeps what a thread frees in that thread's arena, and raises its own threshold for
// mapping after freeing a large block: outputs read on many threads (the channel lets them
// wait at once) would otherwise leave a block behind in each thread's arena.
constexpr std::size_t kMappedFrom = 1024 * 1024;

// The process's spare output block; empty while a run holds it. Kept until the process ends,
// with nothing to destroy, so no thread still in a call at exit finds it gone.
struct Spare {
    SpinLock lock;
    char* data = nullptr;
    std::size_t capacity = 0;
    bool mapped = false;
};

Spare g_spare;

void release(char* data, std::size_t capacity, bool mapped) noexcept {
    if (mapped) {
        ::munmap(data, capacity);
    } else {
        std::free(data);
    }
}

std::size_t whole_pages(std::size_t size) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

}  // namespace

Captured::Captured(Captured&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

Captured& Captured::operator=(Captured&& other) noexcept {
    if (this != &other) {
        give_back();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
        mapped_ = std::exchange(other.mapped_, false);
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
        mapped_ = std::exchange(g_spare.mapped, false);
    }
    if (capacity_ - size_ < want) {
        grow(std::max(capacity_ * 2, size_ + want));
    }
    return data_ + size_;
}

void Captured::grow(std::size_t wanted) {
    if (wanted < kMappedFrom) {
        void* moved = std::realloc(data_, wanted);
        if (moved == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<char*>(moved);
        capacity_ = wanted;
        return;
    }
    std::size_t grown = whole_pages(wanted);
    void* block = mapped_ ? ::mremap(data_, capacity_, grown, MREMAP_MAYMOVE)
                          : ::mmap(nullptr, grown, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        throw std::bad_alloc();
    }
    if (!mapped_) {
        std::memcpy(block, data_, size_);  // a remap moves the pages itself
        std::free(data_);
    }
    data_ = static_cast<char*>(block);
    capacity_ = grown;
    mapped_ = true;
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
            std::swap(mapped_, g_spare.mapped);
        }
    }
    if (data_ != nullptr) {
        release(data_, capacity_, mapped_);
    }
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    mapped_ = false;
}

}  // namespace vordalin::runner
