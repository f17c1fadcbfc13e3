#include "runner/conversation.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

#include "runner/process.hpp"
#include "runner/spawn.hpp"

namespace vordalin::runner {

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
// The child may write notifications while nobody reads; room for many of them keeps it
// from blocking (and with it the tmux server's other clients).
constexpr int kOutputPipeSize = 1024 * 1024;

}  // namespace

std::optional<Conversation> Conversation::start(const std::vector<std::string>& argv, std::string& failure) {
    std::vector<char*> raw;
    if (!marshal(argv, raw)) {
        failure = "nul byte found in provided data";
        return std::nullopt;
    }
    auto failed = [&failure](int error) {
        failure = os_error_text(error);
        return std::nullopt;
    };
    // The input is a socket, not a pipe: a send to a child that has gone fails with EPIPE
    // instead of raising SIGPIPE, whatever the process's disposition of that signal.
    std::array<int, 2> input{};
    std::array<int, 2> output{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input.data()) != 0) {
        return failed(errno);
    }
    Fd our_input(input[0]);
    Fd child_input(input[1]);
    if (::pipe2(output.data(), O_CLOEXEC) != 0) {
        return failed(errno);
    }
    Fd our_output(output[0]);
    Fd child_output(output[1]);
    for (Fd* child_end : {&child_input, &child_output}) {
        if (int error = lift_above_stdio(*child_end); error != 0) {
            return failed(error);
        }
    }
    ::fcntl(our_output.get(), F_SETPIPE_SZ, kOutputPipeSize);  // best effort: the default still works
    Child child;
    if (int error = spawn(SpawnRequest{raw.data(), {child_input.get(), child_output.get(), kNullFd}}, child);
        error != 0) {
        return failed(error);
    }
    return Conversation(std::move(child), std::move(our_input), std::move(our_output));
}

bool Conversation::write(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t sent = ::send(input_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EPIPE || errno == ECONNRESET) {
                return false;
            }
            throw_os_failure("send");
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

Conversation::Got Conversation::read(std::string& into, Clock::time_point deadline) {
    for (;;) {
        pollfd watch{output_.get(), POLLIN, 0};
        int ready = 0;
        try {
            ready = wait_readable({&watch, 1}, deadline);
        } catch (const Interrupted&) {
            child_.kill_and_reap();
            throw;
        }
        if (ready == 0) {
            return Got::kNothing;
        }
        std::array<char, kReadChunk> chunk;
        ssize_t got = ::read(output_.get(), chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            throw_os_failure("read");
        }
        into.append(chunk.data(), static_cast<std::size_t>(got));
        return got > 0 ? Got::kData : Got::kEnd;
    }
}

void Conversation::finish(int limit_ms) {
    input_.reset();
    std::string dropped;
    auto deadline = limit_ms < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        Got got = read(dropped, deadline);
        dropped.clear();
        if (got == Got::kEnd) {
            break;
        }
        if (got == Got::kNothing) {
            kill();
            return;
        }
    }
    output_.reset();
    wait_for_exit(child_);
}

void Conversation::hang_up() noexcept {
    if (input_.valid()) {
        ::shutdown(input_.get(), SHUT_WR);
    }
}

void Conversation::kill() noexcept {
    input_.reset();
    output_.reset();
    child_.kill_and_reap();
}

void Conversation::abandon() noexcept {
    input_.reset();
    output_.reset();
    child_.forget();
}

}  // namespace vordalin::runner
