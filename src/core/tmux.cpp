#include "core/tmux.hpp"

#include <utility>

#include "channel/channel.hpp"
#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

runner::Result run_program(const Argv& argv, runner::Output out, runner::Output err) {
    return runner::run(argv, runner::Streams{runner::Input::kNull, out, err});
}

// What a run through ssh gave, as a run here would give it: ssh's own failure (its status 255:
// no connection, refused authentication, the connection lost) is no answer of the program and
// raises, and a program the remote shell could not run did not start.
runner::Result over_ssh(const tmux::Remote& remote, runner::Result result) {
    if (result.start_failure) {
        return result;
    }
    std::string_view said = text::trim(result.err);
    if (result.returncode == tmux::kSshFailed) {
        std::string message = "ssh to " + remote.host + " failed: ";
        message += said.empty() ? std::string_view("ssh exited with status 255") : said;
        throw Error(text::decode_lossy(message));
    }
    if (result.returncode == tmux::kNotFound || result.returncode == tmux::kNotExecutable) {
        result.start_failure = said.empty() ? "the host's shell could not run it" : text::decode_lossy(said);
    }
    return result;
}

// A run of the command's argv (through ssh for a remote server, whose error output is read
// for ssh's own complaint).
runner::Result run_command(const Socket& where, const Argv& argv, runner::Output out, runner::Output err) {
    if (!where.remote) {
        return run_program(argv, out, err);
    }
    return over_ssh(*where.remote, run_program(argv, out, runner::Output::kCapture));
}

Command exact_command(const Socket& socket, std::initializer_list<std::string_view> args, bool reads_only) {
    Command command{socket, {}, {}, std::nullopt, false, {}};
    command.args.reserve(args.size() + 2);
    for (std::string_view arg : args) {
        command.args.emplace_back(arg);
    }
    command.traits.exact = true;
    command.traits.reads_only = reads_only;
    return command;
}

}  // namespace

Command reading(const Socket& socket, std::initializer_list<std::string_view> args) {
    return exact_command(socket, args, true);
}

Command changing(const Socket& socket, std::initializer_list<std::string_view> args) {
    return exact_command(socket, args, false);
}

bool names_its_session(std::string_view target) {
    // No id or name tmux makes holds a control character; a target that does is no exact one.
    if (target.empty() || text::has_unshowable(target)) {
        return false;
    }
    if (std::string_view("%@$=").find(target.front()) != std::string_view::npos) {
        return true;
    }
    std::size_t colon = target.find(':');
    return colon != std::string_view::npos && colon > 0 && target.front() != '{';
}

Command on_target(Command command, std::string_view target) {
    command.traits.exact = command.traits.exact && names_its_session(target);
    return command;
}

Command typing(const Socket& socket, std::string_view pane, std::initializer_list<std::string_view> args) {
    Command command = on_target(changing(socket, args), pane);
    command.traits.types_into = std::string(pane);
    return command;
}

std::optional<std::string> refused_as_name(std::string_view name, std::string_view what) {
    std::string_view reason;
    if (name.find('\\') != std::string_view::npos) {
        reason = " cannot hold \"\\\"";
    } else if (text::has_unshowable(name)) {
        reason = " cannot hold control characters";
    } else {
        for (std::size_t at = name.find('$'); at != std::string_view::npos; at = name.find('$', at + 1)) {
            char next = at + 1 < name.size() ? name[at + 1] : '\0';
            bool letter = (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z');
            if (letter || next == '_' || next == '{') {
                reason = " cannot hold \"$\" before a letter, \"_\" or \"{\"";
                break;
            }
        }
    }
    if (reason.empty()) {
        return std::nullopt;
    }
    return "a " + std::string(what) + std::string(reason);
}

std::string session_target(std::string_view session) {
    std::string target = "=";
    target += session;
    return target;
}

std::string window_target(std::string_view session, std::uint32_t index) {
    return session_target(session) + ":=" + std::to_string(index);
}

bool is_session_name(std::string_view name) {
    return name.find_first_of(":.") == std::string_view::npos && !name.starts_with('$');
}

std::string missing_session(std::string_view name) {
    return "can't find session: " + std::string(name) + "\n";
}

Command strictly_resolved(const Socket& socket, std::string_view target,
                          std::initializer_list<std::string_view> display_args) {
    Command command = reading(socket, {"list-panes", "-t", target, "-f", "0"});
    command.chain();
    command.append(display_args);
    return on_target(command, target);
}

namespace {

// The server's open channel answers, when there is one that takes the command; it says
// "can't find ..." and the like as a process would, so callers cannot tell which one ran it.
std::optional<runner::Result> over_channel(const Command& command, bool wants_output) {
    try {
        return channel::run(command, wants_output);
    } catch (const channel::UnknownEffect& lost) {
        throw Error("tmux " + lost.command +
                    " failed: the channel to the server ended before tmux answered, so whether it took effect is "
                    "unknown");
    }
}

}  // namespace

runner::Result run_tmux(const Command& command, runner::Output out, runner::Output err) {
    if (auto answered = over_channel(command, out == runner::Output::kCapture)) {
        return std::move(*answered);
    }
    runner::Result result = run_command(command.socket, process_argv(command), out, err);
    channel::ran_as_process(command.socket, result.ok());
    return result;
}

runner::Result answered_where(const Socket& where, runner::Result result) {
    return where.remote ? over_ssh(*where.remote, std::move(result)) : std::move(result);
}

runner::Result run_where(const Socket& where, const Argv& argv, runner::Output out, runner::Output err) {
    return run_command(where, tmux::where_the_server_is(where, argv), out, err);
}

bool succeeds(const Command& command) {
    if (auto answered = over_channel(command, false)) {
        return answered->ok();
    }
    bool ok =
        command.socket.remote
            ? run_command(command.socket, process_argv(command), runner::Output::kNull, runner::Output::kNull).ok()
            : runner::run_status(process_argv(command));
    channel::ran_as_process(command.socket, ok);
    return ok;
}

std::string_view Text::view() {
    if (!is_repaired_ && !text::is_utf8(bytes_.view())) {
        repaired_ = text::decode_lossy(bytes_.view());
        is_repaired_ = true;
    }
    return raw();
}

namespace {

// The captured stdout of a run that succeeded.
std::optional<runner::Captured> captured(runner::Result result) {
    if (!result.ok()) {
        return std::nullopt;
    }
    return std::move(result.out);
}

std::optional<std::string> decoded(std::optional<runner::Captured> bytes) {
    if (!bytes) {
        return std::nullopt;
    }
    return text::decode_lossy(bytes->view());
}

std::optional<runner::Captured> quiet_capture(const Command& command) {
    return captured(run_tmux(command, runner::Output::kCapture, runner::Output::kNull));
}

}  // namespace

std::optional<Text> quiet_text(const Command& command) {
    std::optional<runner::Captured> bytes = quiet_capture(command);
    if (!bytes) {
        return std::nullopt;
    }
    return Text(std::move(*bytes));
}

std::optional<std::string> quiet_output(const Command& command) {
    return decoded(quiet_capture(command));
}

std::optional<std::string> quiet_bytes(const Command& command) {
    std::optional<runner::Captured> bytes = quiet_capture(command);
    if (!bytes) {
        return std::nullopt;
    }
    return std::string(bytes->view());
}

std::optional<std::string> program_output(const Argv& argv) {
    return decoded(captured(run_program(argv, runner::Output::kCapture, runner::Output::kNull)));
}

std::optional<std::string> program_output(const Socket& where, const Argv& argv) {
    return decoded(captured(run_where(where, argv, runner::Output::kCapture, runner::Output::kNull)));
}

namespace {

std::string failure_message(std::string_view text, const FailureWording& wording) {
    std::string message(wording.prefix);
    message += wording.text == ErrorText::kTrimmed ? text::trim(text) : text;
    return message;
}

// The command as a caller would write it: its arguments, chained commands joined by ";".
Argv shown_command(const Command& command) {
    Argv shown;
    command.each_command([&](std::span<const std::string> words) {
        if (!shown.empty()) {
            shown.emplace_back(";");
        }
        shown.insert(shown.end(), words.begin(), words.end());
    });
    return shown;
}

[[noreturn]] void raise_answered(const Command& command, runner::Result& result, std::optional<std::string_view> reason,
                                 const FailureWording& wording) {
    if (result.start_failure) {
        std::string lead = wording.launch == Launch::kServer ? "Failed to run tmux" : "failed to run tmux";
        if (const tmux::Remote* remote = command.socket.remote.get()) {
            lead += " on " + remote->host;
        }
        throw Error::tmux(lead + ": " + *result.start_failure, {shown_command(command), {}, std::nullopt});
    }
    std::string error_text = text::decode_lossy(std::move(result.err));
    std::string message = failure_message(reason.value_or(error_text), wording);
    throw Error::tmux(std::move(message), {shown_command(command), std::move(error_text), result.returncode});
}

}  // namespace

void raise_failure(const Command& command, runner::Result& result, const FailureWording& wording) {
    raise_answered(command, result, std::nullopt, wording);
}

void raise_failure(const Command& command, runner::Result& result, std::string_view reason,
                   const FailureWording& wording) {
    raise_answered(command, result, reason, wording);
}

void raise_failure(std::string_view error_text, const FailureWording& wording) {
    throw Error::tmux(failure_message(error_text, wording), {{}, std::string(error_text), std::nullopt});
}

void refuse(std::string_view reason, const FailureWording& wording) {
    throw Error(failure_message(reason, wording));
}

void run_checked(const Command& command, const FailureWording& wording) {
    runner::Result result = run_tmux(command, runner::Output::kNull, runner::Output::kCapture);
    if (!result.ok()) {
        raise_failure(command, result, wording);
    }
}

namespace {

runner::Captured checked_capture(const Command& command, const FailureWording& wording) {
    runner::Result result = run_tmux(command, runner::Output::kCapture, runner::Output::kCapture);
    if (!result.ok()) {
        raise_failure(command, result, wording);
    }
    return std::move(result.out);
}

}  // namespace

std::string checked_bytes(const Command& command, const FailureWording& wording) {
    return std::string(checked_capture(command, wording).view());
}

Text checked_text(const Command& command, const FailureWording& wording) {
    return Text(checked_capture(command, wording));
}

std::string checked_output(const Command& command, const FailureWording& wording) {
    return text::decode_lossy(checked_bytes(command, wording));
}

}  // namespace vordalin::core
