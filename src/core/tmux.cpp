#include "core/tmux.hpp"

#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kProgram = "tmux";

runner::Result run_tmux(const Argv& argv, runner::Output out, runner::Output err) {
    return runner::run(argv, runner::Streams{runner::Input::kNull, out, err});
}

}  // namespace

Argv tmux_argv(const Socket& socket, std::initializer_list<std::string_view> args) {
    Argv argv;
    argv.reserve(args.size() + 3);
    argv.emplace_back(kProgram);
    if (socket) {
        argv.emplace_back("-S");
        argv.push_back(*socket);
    }
    for (std::string_view arg : args) {
        argv.emplace_back(arg);
    }
    return argv;
}

std::string session_target(std::string_view session) {
    std::string target = "=";
    target += session;
    return target;
}

std::string window_target(std::string_view session, std::uint32_t index) {
    return session_target(session) + ":=" + std::to_string(index);
}

Argv strictly_resolved(const Socket& socket, std::string_view target,
                       std::initializer_list<std::string_view> display_args) {
    Argv argv = tmux_argv(socket, {"list-panes", "-t", target, "-f", "0", ";"});
    argv.insert(argv.end(), display_args.begin(), display_args.end());
    return argv;
}

bool succeeds(const Argv& argv) { return runner::run_status(argv); }

Text::Text(runner::Captured bytes) {
    if (text::is_utf8(bytes.view())) {
        bytes_ = std::move(bytes);
    } else {
        repaired_ = text::decode_lossy(bytes.view());
        is_repaired_ = true;
    }
}

std::optional<Text> quiet_text(const Argv& argv) {
    runner::Result result = run_tmux(argv, runner::Output::kCapture, runner::Output::kNull);
    if (!result.ok()) {
        return std::nullopt;
    }
    return Text(std::move(result.out));
}

std::optional<std::string> quiet_output(const Argv& argv) {
    std::optional<Text> output = quiet_text(argv);
    if (!output) {
        return std::nullopt;
    }
    return std::string(output->view());
}

void raise_failure(runner::Result& result, const FailureWording& wording) {
    if (result.start_failure) {
        std::string_view lead = wording.launch == Launch::kServer ? "Failed to run tmux: " : "failed to run tmux: ";
        throw Error(std::string(lead) + *result.start_failure);
    }
    std::string err = text::decode_lossy(std::move(result.err));
    std::string message(wording.prefix);
    message += wording.text == ErrorText::kTrimmed ? text::trim(err) : std::string_view(err);
    throw Error(message);
}

void run_checked(const Argv& argv, const FailureWording& wording) {
    runner::Result result = run_tmux(argv, runner::Output::kNull, runner::Output::kCapture);
    if (!result.ok()) {
        raise_failure(result, wording);
    }
}

std::string checked_output(const Argv& argv, const FailureWording& wording) {
    runner::Result result = run_tmux(argv, runner::Output::kCapture, runner::Output::kCapture);
    if (!result.ok()) {
        raise_failure(result, wording);
    }
    return text::decode_lossy(result.out.view());
}

}  // namespace vordalin::core
