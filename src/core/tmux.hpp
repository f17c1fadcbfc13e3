#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runner/process.hpp"
#include "tmux/command.hpp"
#include "tmux/format.hpp"

namespace vordalin::core {

using tmux::Argv;
using tmux::Command;
using tmux::format_literal;
using tmux::literal_format;
using tmux::process_argv;
using tmux::Socket;

// A command whose targets the module made exact (ids, "=name", "=name:=index") or that needs
// none: it acts on the same objects whatever client runs it. One that only reads, and one
// that changes something.
Command reading(const Socket& socket, std::initializer_list<std::string_view> args);
Command changing(const Socket& socket, std::initializer_list<std::string_view> args);

// Whether tmux resolves the target the same way for every client: an id ("%1", "@2", "$3"),
// an exact session ("=name"), or a target with its session part. The rest ("1", ":2",
// "{last}") lean on the client's current session.
bool names_its_session(std::string_view target);
// The command acts through `target`: it stays exact only when the target names its session
// (a record made by hand, or a caller's target, may hold any text).
Command on_target(Command command, std::string_view target);

// A command that types keys into the pane `pane` (an id, as a record holds it).
Command typing(const Socket& socket, std::string_view pane, std::initializer_list<std::string_view> args);

// Why tmux would store other text than this as a session or window name (`what` says which),
// if it would: it doubles "\", writes the characters it cannot show as escapes, and puts
// "\" before a "$" that a shell would expand. Nothing when the text is stored as it is.
std::optional<std::string> refused_as_name(std::string_view name, std::string_view what);

// tmux matches a bare session target by prefix and by pattern, and a window part that is
// no live index by the start of a window name; these exact-match forms do neither.
std::string session_target(std::string_view session);
std::string window_target(std::string_view session, std::uint32_t index);

// Whether a session of this name can be addressed at all. tmux turns ":" and "." into "_"
// when it names a session, and reads "=a:b" as window b of session a, and "=$1" as the
// session whose id is $1; a name like that never becomes a target, so it never reaches
// another session. Members given one answer as for a session that does not exist.
bool is_session_name(std::string_view name);
// tmux's complaint about a session it cannot find, for those members that report it.
std::string missing_session(std::string_view name);

// display-message falls back to some other target when its own cannot be found. Putting a
// strict, silent lookup of the same target in front of it (one client, commands chained by
// ";") makes an unknown target fail with tmux's own complaint instead.
Command strictly_resolved(const Socket& socket, std::string_view target,
                          std::initializer_list<std::string_view> display_args);

// How a start failure is worded: most members say "failed to run tmux: ", the raising
// Server methods "Failed to run tmux: ".
enum class Launch { kLower, kServer };
// Whether tmux's error text is trimmed before it joins the message.
enum class ErrorText { kTrimmed, kUntrimmed };

struct FailureWording {
    std::string_view prefix;
    ErrorText text = ErrorText::kTrimmed;
    Launch launch = Launch::kLower;
};

// Runs a command with stdin on /dev/null and the two output streams as given.
runner::Result run_tmux(const Command& command, runner::Output out, runner::Output err);

// Quiet boolean: a status run; true when tmux started and exited with code 0.
bool succeeds(const Command& command);

// Decoded output text: the runner's bytes themselves when they are valid UTF-8 (the usual
// case, no copy), else the repaired copy.
class Text {
public:
    explicit Text(runner::Captured bytes) noexcept : bytes_(std::move(bytes)) {}
    explicit Text(std::string text) : repaired_(std::move(text)), is_repaired_(true) {}

    // As valid UTF-8: the bytes themselves when they are, else a repaired copy, made once.
    std::string_view view();
    // The bytes as they came, for a decoder that repairs them the same way (Python's
    // "replace"): one pass over a large capture instead of two.
    std::string_view raw() const noexcept { return is_repaired_ ? std::string_view(repaired_) : bytes_.view(); }

private:
    runner::Captured bytes_;
    std::string repaired_;
    bool is_repaired_ = false;
};

// Quiet value: stdout captured, stderr discarded; the decoded stdout, or nothing when tmux
// did not start or did not succeed.
std::optional<std::string> quiet_output(const Command& command);
// The same without copying the text out of the runner's buffer, for outputs that can be large.
std::optional<Text> quiet_text(const Command& command);
// The same, undecoded: for outputs read as framed records, whose lengths count bytes.
std::optional<std::string> quiet_bytes(const Command& command);
// The same for the other programs the module runs ("id", "ps"), given their whole argv: on
// this machine, or where the server is (a remote host).
std::optional<std::string> program_output(const Argv& argv);
std::optional<std::string> program_output(const Socket& where, const Argv& argv);
// A run of a program where the server is, with stdin on /dev/null. Over ssh, ssh's own
// failure raises "ssh to HOST failed: " and ssh's message, and a program the host's shell
// cannot run is a start failure with the shell's words.
runner::Result run_where(const Socket& where, const Argv& argv, runner::Output out, runner::Output err);
// What a run of an argv built for the server's place gave, as a run here would give it (see
// run_where), for a caller that ran it itself.
runner::Result answered_where(const Socket& where, runner::Result result);

// Raising: stdout discarded, stderr captured; throws Error worded as given on failure.
void run_checked(const Command& command, const FailureWording& wording);

// Raising, stdout wanted: both streams captured; returns the decoded stdout.
std::string checked_output(const Command& command, const FailureWording& wording);
// The same, undecoded.
std::string checked_bytes(const Command& command, const FailureWording& wording);
// The same, decoded without a copy where the output is valid UTF-8.
Text checked_text(const Command& command, const FailureWording& wording);

// Throws the error of a run of `command` that did not start or did not succeed: tmux's error
// text joins the message, and the error carries the command, that text and the exit status
// (a TmuxError, or NotFoundError when the text says so). Every tmux failure is raised here.
[[noreturn]] void raise_failure(const Command& command, runner::Result& result, const FailureWording& wording);
// The same with `reason` in the message instead of tmux's error text (tmux said nothing, or its
// status was lost).
[[noreturn]] void raise_failure(const Command& command, runner::Result& result, std::string_view reason,
                                const FailureWording& wording);
// The error a failed run with this error text would give, for a command the module did not run
// because it knows the answer (a name that names no session).
[[noreturn]] void raise_failure(std::string_view error_text, const FailureWording& wording);
// The caller's text refused before anything runs: a plain RuntimeError, worded like a failure.
[[noreturn]] void refuse(std::string_view reason, const FailureWording& wording);

// Fields cut from a bar-separated line; the listing and metadata formats use it.
constexpr char kFieldSeparator = '|';

}  // namespace vordalin::core
