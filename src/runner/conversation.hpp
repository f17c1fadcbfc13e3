// A long-lived child that takes lines on its standard input and answers on its standard
// output: what a persistent channel to a tool runs on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "runner/child.hpp"
#include "runner/fd.hpp"
#include "runner/wait.hpp"

namespace vordalin::runner {

class Conversation {
public:
    // Starts argv[0] (looked up on PATH) with its stdin and stdout connected to us and its
    // stderr on /dev/null. Nothing, with `failure` set to the system's text, when it cannot
    // start.
    static std::optional<Conversation> start(const std::vector<std::string>& argv, std::string& failure);

    Conversation(Conversation&&) noexcept = default;
    Conversation& operator=(Conversation&&) noexcept = default;
    ~Conversation() { kill(); }

    // Writes all of the bytes; false when the child no longer reads (it has gone).
    bool write(std::string_view bytes);
    enum class Got { kData, kNothing, kEnd };
    // Appends what the child wrote to `into`, waiting for something until the deadline as
    // wait_readable does (without the interpreter's lock; a deadline already past takes only
    // what has arrived, and any thread may ask for that). kEnd at end of file. When the
    // interrupt check asks to stop, the child is killed and Interrupted thrown.
    Got read(std::string& into, Clock::time_point deadline = Clock::time_point::max());
    // Closes the child's input and waits for it to exit, reading and dropping what it still
    // writes so that it cannot block on a full pipe. With a limit (in milliseconds) a child
    // still running then is killed.
    void finish(int limit_ms = -1);
    // Tells the child that no more input comes, without closing anything: safe while another
    // thread reads or writes, which then finds the child's end.
    void hang_up() noexcept;
    // Kills the child now and reaps it, and closes our descriptors.
    void kill() noexcept;
    // Forgets the child without signalling or waiting for it, and closes our descriptors:
    // for a process that inherited the conversation by fork and must not touch it.
    void abandon() noexcept;

    bool running() const noexcept { return output_.valid(); }
    pid_t pid() const noexcept { return child_.pid(); }
    // What the child writes arrives here: for a caller that waits on it beside other things.
    int output_fd() const noexcept { return output_.get(); }

private:
    Conversation(Child child, Fd input, Fd output) noexcept
        : child_(std::move(child)), input_(std::move(input)), output_(std::move(output)) {}

    Child child_;
    Fd input_;
    Fd output_;
};

}  // namespace vordalin::runner
