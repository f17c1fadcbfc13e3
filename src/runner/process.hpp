#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vordalin::runner {

enum class Input { kInherit, kNull };
enum class Output { kNull, kCapture };

struct Streams {
    Input in = Input::kNull;
    Output out = Output::kNull;
    Output err = Output::kNull;
};

// Bytes read from a child's standard output. The first read of a run takes the process's
// spare block, if there is one, and the block becomes the spare again when the object goes,
// so a caller that reads large outputs again and again does not fault fresh pages in each
// time (that cost more than the rest of a 100,000-line capture's own work together). There is
// one spare for the whole process, not one per thread: memory held between calls does not
// grow with the number of threads that made them.
class Captured {
public:
    Captured() noexcept = default;
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;
    Captured(Captured&& other) noexcept;
    Captured& operator=(Captured&& other) noexcept;
    ~Captured();

    std::string_view view() const noexcept { return {data_, size_}; }
    // Room for at least `want` more bytes at the end; a large block grows by remapping, which
    // moves its pages instead of copying them. Throws std::bad_alloc.
    char* tail(std::size_t want);
    void commit(std::size_t count) noexcept { size_ += count; }

private:
    void grow(std::size_t wanted);
    void give_back() noexcept;

    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    // A block mapped from the system, not from the C library's allocator.
    bool mapped_ = false;
};

// What one child run gave: either a start failure, or an exit verdict and the captured bytes.
struct Result {
    std::optional<std::string> start_failure;
    // The exit code, or minus the number of the signal that ended the child; nothing when
    // the status was lost (only on kernels that keep none for a child someone else reaped).
    std::optional<int> returncode;
    Captured out;
    std::string err;

    bool ok() const noexcept { return !start_failure && returncode == 0; }
};

// Thrown when the interrupt check asked to abandon a run. The child has been killed and
// reaped by then; whoever installed the check has recorded why.
struct Interrupted {};

// Called whenever a wait is interrupted by a signal, and periodically while a child runs;
// returning true abandons the run. The extension installs one that runs the interpreter's
// signal handlers, so Ctrl-C reaches Python while tmux hangs.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check) noexcept;
// Runs the installed check; true when it asks to abandon what is waiting.
bool interrupt_requested();

// Runs argv[0], looked up on PATH, with argv as its argument vector and the given streams,
// and waits for it. The child starts with an empty signal mask and SIGPIPE and SIGXFSZ at
// their defaults, and its fds 0 to 2 are what `streams` asks for even when ours are closed.
// What keeps the program from starting is a start failure in the Result; a system call that
// fails after that throws std::system_error naming the call. Also throws Interrupted (see
// above) or std::bad_alloc.
Result run(const std::vector<std::string>& argv, Streams streams);

// The status run: stdin inherited, stdout and stderr on /dev/null; true when the child
// started and exited with code 0.
bool run_status(const std::vector<std::string>& argv);

// The text for a start failure with error number e: strerror(e) + " (os error e)".
std::string os_error_text(int e);

}  // namespace vordalin::runner
