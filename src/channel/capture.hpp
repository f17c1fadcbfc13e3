// Captures over the channel. capture-pane -p through a control client leaks the capture inside
// tmux servers before 3.6, and its output could hold lines that look like the block's end; so
// tmux captures into a buffer, the client writes the buffer to a file of ours, and we read the
// file. The client writes it after answering, so the wait is for the file's close.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "channel/protocol.hpp"
#include "runner/fd.hpp"

namespace vordalin::channel {

class Captures {
public:
    // A private directory (mode 0700, under $TMPDIR or /tmp) and a watch on it; nothing when
    // either cannot be made.
    static std::unique_ptr<Captures> make();

    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;
    // Removes the directory, and what a capture cut short left in it.
    ~Captures();

    // Runs the capture (`words` as core built them: capture-pane, "-p", then its options) over
    // the protocol. Nothing, with nothing sent, when the directory is no longer surely ours:
    // the capture then runs as a process. Throws what the protocol throws, and Stray when
    // the file never arrives or is not the one we made.
    std::optional<runner::Result> capture(Protocol& protocol, const Words& words, bool& sent);

    // Lets go of the directory without removing it: for a process that inherited it by fork.
    void forsake() noexcept;

private:
    Captures(std::string directory, runner::Fd directory_fd, runner::Fd watch) noexcept;
    bool still_ours() const;
    bool closed_after_writing(const std::string& name);
    void remove() noexcept;

    std::string directory_;
    // The directory as made: names in it are opened relative to it, never through its path.
    runner::Fd directory_fd_;
    // Watches the directory for files closed after writing.
    runner::Fd watch_;
    unsigned count_ = 0;
};

}  // namespace vordalin::channel
