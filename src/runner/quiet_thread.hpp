#pragma once

#include <signal.h>

#include <thread>
#include <utility>

namespace vordalin::runner {

// Starts a thread with every signal blocked (but the C library's own), so that signals reach
// the interpreter's threads. sigprocmask sets the calling thread's mask on Linux, and the
// wheel's glibc floor has it where pthread_sigmask is newer.
template <class Body>
std::thread quiet_thread(Body&& body) {
    sigset_t all;
    sigset_t saved;
    ::sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, &saved);
    struct Restore {
        sigset_t& saved;
        ~Restore() { ::sigprocmask(SIG_SETMASK, &saved, nullptr); }
    } restore{saved};
    return std::thread(std::forward<Body>(body));
}

}  // namespace vordalin::runner
