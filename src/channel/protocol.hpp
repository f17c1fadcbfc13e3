// The control-mode protocol, as the channel speaks it over one tmux client: lines, blocks, the
// nonce that proves a block's end, and the one rule that passes over whatever is not ours.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/conversation.hpp"
#include "runner/process.hpp"

namespace vordalin::channel {

using Clock = runner::Clock;

// One tmux command: exactly the texts tmux is to receive.
using Words = std::vector<std::string>;

// The commands of one call, chained on one line, and whether their output is read. With a
// guard, they type keys into that pane, and go to it only while it is in no mode: tmux decides
// in the same step, and a pane in a mode gets nothing over the channel.
struct Request {
    std::vector<Words> commands;
    bool wants_output = false;
    std::optional<std::string> guard;
};

// The client went away: end of file, or "%exit". A client that said "%exit" before it began
// to answer the request now sent has run none of it: it runs nothing once it has left.
struct Ended {
    bool before_answering = false;
};
// The client wrote what control mode never writes where it stood: the channel is out of step.
struct Stray {};

class Protocol {
public:
    explicit Protocol(runner::Conversation conversation) noexcept : conversation_(std::move(conversation)) {}

    // Waits until the client has attached ("%session-changed"); false when that does not
    // happen by the deadline. Throws Ended when the client leaves instead.
    bool attached(Clock::time_point deadline);
    // Sends the request and reads its answer as a process would have given it: return code
    // 0 or 1, the output of every command, the failed one's error text. Nothing when the guard
    // found its pane in a mode, and nothing was done. `sent` tells whether the request reached
    // the client. Throws Ended or Stray when the channel is unusable.
    std::optional<runner::Result> answer(const Request& request, bool& sent);
    // Takes in what has arrived, without waiting, and passes over what is not ours. Returns
    // the first line that control mode does not write between blocks, if one came: the late
    // complaint of a file the client failed to write, or a sign that the channel is out of
    // step. Throws Ended when the client has gone.
    std::optional<std::string> settle();

    // For a client that only listens: the next notification, whatever else passed over (its own
    // requests' answers are of no interest to it, others' blocks are skipped whole); nothing when none
    // has come by the deadline (one already past takes only what has arrived). "%exit" comes
    // as one; Ended is thrown at the end of the client's output.
    std::optional<std::string> notification(Clock::time_point deadline);

    // The id ("$3") of the session the client is attached to.
    const std::string& session_id() const noexcept { return session_id_; }
    runner::Conversation& conversation() noexcept { return conversation_; }

private:
    enum class Wait { kYes, kNo };
    // The line at `at`; with Wait::kNo nothing when it has not arrived yet. Throws Ended at
    // the end of the client's output.
    const std::string* line(std::size_t at, Wait wait, Clock::time_point deadline = Clock::time_point::max());
    // Passes over notifications and whole blocks of commands we did not send (hooks), from
    // `at`. Stops at the first line that is neither (kOurs: our block's start, "%exit", or a
    // line that should not be there); at a line not arrived yet with Wait::kNo (kWanting: `at`
    // is where what is still arriving starts); or (kForged) when `nonce` shows up inside what
    // looked like a block of others, whose start was then a pane's text. With `noting`, the
    // notifications passed take effect.
    enum class Stop { kOurs, kWanting, kForged };
    struct Passed {
        std::size_t at;
        Stop stop;
    };
    Passed past_others(std::size_t at, Wait wait, const std::string* nonce, bool noting);
    // Whether a block printing only `nonce` follows once what is not ours is passed over: the
    // index after it when it does.
    std::optional<std::size_t> after_nonce(std::size_t at, const std::string& nonce);
    // Reads our block that starts at `at` into `data`; returns the index after the nonce's
    // block that proves its end, or, without a nonce (a block whose text no one else can
    // write), after its own end.
    std::size_t read_block(std::size_t at, std::vector<std::string>& data, bool& failed, const std::string* nonce);
    // The index of our next block's start, what is not ours passed over.
    std::size_t next_begin(std::size_t at, bool answering);
    void note(std::string_view notification);
    // Lines before `up_to` are done with.
    void consume(std::size_t up_to);
    void split_lines();

    runner::Conversation conversation_;
    std::string pending_;
    std::deque<std::string> lines_;
    std::string session_id_;
};

}  // namespace vordalin::channel
