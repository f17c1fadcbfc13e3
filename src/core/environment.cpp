#include "core/environment.hpp"

#include "core/error.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

constexpr std::string_view kShowFailure = "tmux show-environment failed: ";
constexpr std::string_view kSetFailure = "tmux set-environment failed: ";

// The scope's flags: "-g", or the session's exact target.
Command environment_command(const EnvironmentRecord& environment, std::string_view subcommand, bool reads) {
    Command command = reads ? reading(environment.socket, {subcommand}) : changing(environment.socket, {subcommand});
    if (environment.scope == "global") {
        command.append({"-g"});
        return command;
    }
    if (environment.scope != "session") {
        throw Error("unknown scope: " + text::quote(environment.scope), Error::Kind::kValue);
    }
    command.append({"-t", environment.target});
    return on_target(std::move(command), environment.target);
}

// tmux refuses these names, and a name holding a line end would forge the listing.
void check_name(const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos || text::has_unshowable(name)) {
        throw Error(
            "environment variable names cannot be empty or hold \"=\" or control characters: " + text::quote(name),
            Error::Kind::kValue);
    }
}

// Skips one statement of a "show-environment -s" listing and returns the name it sets, if it
// sets one: 'NAME="value"; export NAME;' with "\" before '"', "$", "`" and "\" in the value
// (line ends stand as they are), or 'unset NAME;'.
std::optional<std::string_view> next_statement(std::string_view& listing) {
    auto skip_line = [&] {
        std::size_t end = listing.find('\n');
        listing.remove_prefix(end == std::string_view::npos ? listing.size() : end + 1);
    };
    std::size_t quote = listing.find("=\"");
    std::size_t line_end = listing.find('\n');
    if (listing.starts_with("unset ") || quote == std::string_view::npos || quote > line_end) {
        skip_line();
        return std::nullopt;
    }
    std::string_view name = listing.substr(0, quote);
    std::size_t at = quote + 2;
    while (at < listing.size() && listing[at] != '"') {
        at += listing[at] == '\\' ? 2 : 1;
    }
    std::string tail = "\"; export " + std::string(name) + ";\n";
    if (listing.substr(at, tail.size()) != tail) {
        skip_line();
        return std::nullopt;
    }
    listing.remove_prefix(at + tail.size());
    return name;
}

}  // namespace

std::string read_variable(const EnvironmentRecord& environment, const std::string& name) {
    if (name.empty() || name.find('=') != std::string::npos) {
        throw Error(name, Error::Kind::kKey);
    }
    Command show = environment_command(environment, "show-environment", true);
    show.append({"--", name});
    runner::Result result = run_tmux(show, runner::Output::kCapture, runner::Output::kCapture);
    if (!result.ok()) {
        if (!result.start_failure &&
            text::decode_lossy(std::string_view(result.err)).starts_with("unknown variable: ")) {
            throw Error(name, Error::Kind::kKey);
        }
        raise_failure(show, result, {kShowFailure});
    }
    // "NAME=value\n" exactly, the value as it is; "-NAME\n" for one marked removed.
    std::string output = text::decode_lossy(result.out.view());
    std::string lead = name + "=";
    if (!output.starts_with(lead) || !output.ends_with('\n')) {
        throw Error(name, Error::Kind::kKey);
    }
    return output.substr(lead.size(), output.size() - lead.size() - 1);
}

void set_variable(const EnvironmentRecord& environment, const std::string& name, const std::string& value) {
    check_name(name);
    // The value is stored as given: set-environment expands formats only with -F.
    Command set = environment_command(environment, "set-environment", false);
    set.append({"--", name, value});
    run_checked(set, {kSetFailure});
}

void unset_variable(const EnvironmentRecord& environment, const std::string& name) {
    read_variable(environment, name);
    Command unset = environment_command(environment, "set-environment", false);
    unset.append({"-u", "--", name});
    run_checked(unset, {kSetFailure});
}

std::vector<std::string> variable_names(const EnvironmentRecord& environment) {
    // The plain listing writes values as they are, so a value holding a line end would show
    // as a further variable; this one quotes them.
    Command show = environment_command(environment, "show-environment", true);
    show.append({"-s"});
    std::string listing = checked_output(show, {kShowFailure});
    std::vector<std::string> names;
    for (std::string_view rest = listing; !rest.empty();) {
        if (auto name = next_statement(rest)) {
            names.emplace_back(*name);
        }
    }
    return names;
}

}  // namespace vordalin::core
