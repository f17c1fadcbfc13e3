// One run of a child process, in three steps: plumb (the child's streams and our pipe ends),
// spawn (spawn.cpp), collect (read the pipes to their end, then the exit status).
#include "runner/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "runner/child.hpp"
#include "runner/fd.hpp"
#include "runner/plumbing.hpp"
#include "runner/spawn.hpp"

namespace vordalin::runner {

namespace {

InterruptCheck g_interrupt_check = nullptr;

Result start_failure(std::string text) {
    Result result;
    result.start_failure = std::move(text);
    return result;
}

// Reads every captured stream to end of file, both at once so that a child filling one pipe
// while we wait on the other cannot block.
void drain(std::array<Sink, 2>& sinks, Child& child) {
    for (;;) {
        std::array<pollfd, 2> watch{};
        std::array<Sink*, 2> owners{};
        nfds_t count = 0;
        for (Sink& sink : sinks) {
            if (sink.read_end.valid()) {
                watch[count] = pollfd{sink.read_end.get(), POLLIN, 0};
                owners[count] = &sink;
                ++count;
            }
        }
        if (count == 0) {
            return;
        }
        int ready = ::poll(watch.data(), count, kCheckIntervalMs);
        if (ready < 0 && errno != EINTR) {
            throw_os_failure("poll");
        }
        if (ready <= 0) {
            check_interrupt(child);
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (watch[i].revents != 0 && !owners[i]->read_some()) {
                owners[i]->read_end.reset();
            }
        }
    }
}

Result collect(std::array<Sink, 2>& sinks, Child& child) {
    drain(sinks, child);
    Result result;
    result.returncode = wait_for_exit(child);
    result.out = std::move(sinks[0].bytes);
    result.err.assign(sinks[1].bytes.view());
    return result;
}

}  // namespace

// Returns 0, or the error number that keeps the run from starting.
int plumb(Streams streams, Plumbing& plumbing) {
    if (streams.in == Input::kInherit) {
        plumbing.child_fds[0] = kInheritFd;
    }
    const std::array<Output, 2> outputs{streams.out, streams.err};
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i] == Output::kNull) {
            continue;
        }
        std::array<int, 2> ends{};
        if (::pipe2(ends.data(), O_CLOEXEC) != 0) {
            return errno;
        }
        Sink& sink = plumbing.sinks[i];
        sink.read_end = Fd(ends[0]);
        plumbing.child_ends[i] = Fd(ends[1]);
        if (int error = lift_above_stdio(plumbing.child_ends[i]); error != 0) {
            return error;
        }
        plumbing.child_fds[i + 1] = plumbing.child_ends[i].get();
    }
    return 0;
}

bool Sink::read_some() {
    for (;;) {
        ssize_t got = ::read(read_end.get(), bytes.tail(kReadChunk), kReadChunk);
        if (got >= 0) {
            bytes.commit(static_cast<std::size_t>(got));
            return got > 0;
        }
        if (errno != EINTR) {
            throw_os_failure("read");
        }
    }
}

void set_interrupt_check(InterruptCheck check) noexcept {
    g_interrupt_check = check;
}

bool interrupt_requested() {
    return g_interrupt_check != nullptr && g_interrupt_check();
}

std::string os_error_text(int e) {
    std::array<char, 256> buffer{};
    // GNU strerror_r: returns the message, which may or may not live in buffer.
    const char* message = ::strerror_r(e, buffer.data(), buffer.size());
    return std::string(message) + " (os error " + std::to_string(e) + ")";
}

Result run(const std::vector<std::string>& argv, Streams streams) {
    std::vector<char*> raw_argv;
    if (!marshal(argv, raw_argv)) {
        return start_failure("nul byte found in provided data");
    }
    Plumbing plumbing;
    if (int error = plumb(streams, plumbing); error != 0) {
        return start_failure(os_error_text(error));
    }
    Child child;
    if (int error = spawn(SpawnRequest{raw_argv.data(), plumbing.child_fds}, child); error != 0) {
        return start_failure(os_error_text(error));
    }
    // Our copies of the write ends must go, or the pipes never reach end of file.
    plumbing.child_ends = {};
    return collect(plumbing.sinks, child);
}

bool run_status(const std::vector<std::string>& argv) {
    return run(argv, Streams{Input::kInherit, Output::kNull, Output::kNull}).ok();
}

}  // namespace vordalin::runner
