#include "core/options.hpp"

#include <algorithm>
#include <array>
#include <charconv>

#include "core/error.hpp"
#include "core/refusal.hpp"
#include "text/text.hpp"

namespace vordalin::core {

namespace {

// How tmux is told a scope. tmux picks the scope of an option it knows from its own table,
// whatever the flags say ("set-option -s status on" sets the current session's), so every
// known name is checked against the table before anything runs.
struct ScopeInfo {
    std::string_view name;
    std::array<std::string_view, 2> flags;
    bool targeted;
    // Where an option listed at this scope is set, and a hook.
    unsigned char option_scopes;
    unsigned char hook_scopes;
    // What the scope is called in messages.
    std::string_view shown;
};

constexpr std::array<ScopeInfo, 6> kScopes{{
    {"server", {"-s", ""}, false, kServer, 0, "the server"},
    {"global", {"-g", ""}, false, kSession, kSession | kWindow | kPane, "the global session scope"},
    {"global-window", {"-g", "-w"}, false, kWindow, 0, "the global window scope"},
    {"session", {"", ""}, true, kSession, kSession, "a session"},
    {"window", {"-w", ""}, true, kWindow, kWindow, "a window"},
    {"pane", {"-p", ""}, true, kPane, kPane, "a pane"},
}};

const ScopeInfo& scope_info(std::string_view scope) {
    for (const ScopeInfo& info : kScopes) {
        if (info.name == scope) {
            return info;
        }
    }
    throw Error("unknown scope: " + text::quote(scope), Error::Kind::kValue);
}

// A command on the scope: its subcommand, the scope's flags and target, then `options`.
Command scope_command(const ScopeRecord& where, std::string_view subcommand, bool reads,
                      std::initializer_list<std::string_view> options = {}) {
    const ScopeInfo& info = scope_info(where.scope);
    Command command = reads ? reading(where.socket, {subcommand}) : changing(where.socket, {subcommand});
    for (std::string_view flag : info.flags) {
        if (!flag.empty()) {
            command.append({flag});
        }
    }
    if (info.targeted) {
        command.append({"-t", where.target});
        command = on_target(std::move(command), where.target);
    }
    command.append(options);
    return command;
}

Error missing(const std::string& name) {
    return Error(name, Error::Kind::kKey);
}

// tmux's answer for a name it knows nothing of.
bool names_nothing(std::string_view error) {
    return error.starts_with("invalid option: ") || error.starts_with("unknown option: ") ||
           error.starts_with("ambiguous option: ");
}

// The output of a reading command; nothing when tmux knows no such name.
std::optional<std::string> read_output(const Command& command, std::string_view failure) {
    runner::Result result = run_tmux(command, runner::Output::kCapture, runner::Output::kCapture);
    if (result.ok()) {
        return text::decode_lossy(result.out.view());
    }
    if (!result.start_failure && names_nothing(text::decode_lossy(std::string_view(result.err)))) {
        return std::nullopt;
    }
    raise_failure(command, result, {failure});
}

// The text without its one final "\n": a value may itself end in blanks or "\r".
std::string_view without_newline(std::string_view line) {
    if (line.ends_with('\n')) {
        line.remove_suffix(1);
    }
    return line;
}

// The lines of a listing, each without its "\n"; a value tmux lists never holds one.
std::vector<std::string_view> listed_lines(std::string_view output) {
    std::vector<std::string_view> lines;
    while (!output.empty()) {
        std::size_t end = output.find('\n');
        lines.push_back(output.substr(0, end));
        output.remove_prefix(end == std::string_view::npos ? output.size() : end + 1);
    }
    return lines;
}

// A string tmux lists as it writes arguments: in double or single quotes when it holds
// blanks or special characters, with "\" escapes for quotes, "$", "\" and control
// characters (C escapes or three octal digits).
std::string unescape_listed(std::string_view text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') && text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    std::string value;
    value.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            value += text[i];
            continue;
        }
        char next = text[++i];
        if (next >= '0' && next <= '7') {
            int code = 0;
            std::size_t digits = 0;
            for (; digits < 3 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++digits, ++i) {
                code = code * 8 + (text[i] - '0');
            }
            --i;
            value += static_cast<char>(code);
            continue;
        }
        static constexpr std::string_view kFrom = "ntrbavfsE";
        static constexpr std::string_view kTo = "\n\t\r\b\a\v\f \033";
        std::size_t at = kFrom.find(next);
        value += at == std::string_view::npos ? next : kTo[at];
    }
    return value;
}

// A number as tmux prints one, or nothing.
std::optional<std::int64_t> read_int(std::string_view text) {
    std::int64_t number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return number;
}

OptionValue typed(std::string_view value, const OptionEntry* entry) {
    if (entry != nullptr && entry->type == OptionType::kFlag && (value == "on" || value == "off")) {
        return value == "on";
    }
    if (entry != nullptr && entry->type == OptionType::kNumber) {
        if (auto number = read_int(value)) {
            return *number;
        }
    }
    return std::string(value);
}

// Whether tmux would take this name for some other option: it matches the start of an option
// name it knows, and reads "name[N]" as an array's element.
bool stands_for_another(std::string_view name, const OptionEntry* entry) {
    if (name.empty() || name.find('[') != std::string_view::npos) {
        return true;
    }
    if (entry != nullptr || name.starts_with('@')) {
        return false;
    }
    return std::any_of(kOptionTable.begin(), kOptionTable.end(),
                       [&](const OptionEntry& known) { return known.name.starts_with(name); });
}

// Text that a listing would show as another name or line: blanks and control characters.
bool unlistable(std::string_view name) {
    return name.find_first_of(" \t") != std::string_view::npos || text::has_unshowable(name);
}

// The entry of an option that can be read at this scope: nothing when tmux 3.3a does not know
// the name; a KeyError when the name is no option there.
const OptionEntry* readable_option(const OptionsRecord& options, const std::string& name) {
    const OptionEntry* entry = option_entry(name);
    if (stands_for_another(name, entry) ||
        (entry != nullptr &&
         (entry->type == OptionType::kHook || (entry->scopes & scope_info(options.scope).option_scopes) == 0))) {
        throw missing(name);
    }
    return entry;
}

std::vector<std::string> array_elements(std::string_view listing, std::string_view name) {
    std::vector<std::string> elements;
    for (std::string_view line : listed_lines(listing)) {
        if (!line.starts_with(name) || line.size() == name.size() || line[name.size()] != '[') {
            continue;
        }
        std::size_t space = line.find("] ", name.size());
        if (space != std::string_view::npos) {
            elements.push_back(unescape_listed(line.substr(space + 2)));
        }
    }
    return elements;
}

constexpr std::string_view kShowFailure = "tmux show-options failed: ";
constexpr std::string_view kSetFailure = "tmux set-option failed: ";

std::string hook_failure(std::string_view command) {
    return "tmux " + std::string(command) + " failed: ";
}

}  // namespace

const OptionEntry* option_entry(std::string_view name) {
    auto found = std::lower_bound(kOptionTable.begin(), kOptionTable.end(), name,
                                  [](const OptionEntry& entry, std::string_view key) { return entry.name < key; });
    return found != kOptionTable.end() && found->name == name ? &*found : nullptr;
}

ScopeRecord session_scope(const SessionRecord& session) {
    if (!is_session_name(session.name)) {
        raise_failure(missing_session(session.name), {"tmux failed: "});
    }
    return ScopeRecord{"session", session_target(session.name) + ":", session.socket};
}

ScopeRecord window_scope(const WindowRecord& window) {
    if (!is_session_name(window.session_name)) {
        raise_failure(missing_session(window.session_name), {"tmux failed: "});
    }
    return ScopeRecord{"window", window_target(window.session_name, window.index), window.socket};
}

ScopeRecord pane_scope(const PaneRecord& pane) {
    return ScopeRecord{"pane", pane.pane_id, pane.socket};
}

ScopeRecord global_scope(const ServerRecord& server, std::string_view scope) {
    return ScopeRecord{std::string(scope), "", server.socket};
}

OptionValue read_option(const OptionsRecord& options, const std::string& name) {
    const OptionEntry* entry = readable_option(options, name);
    bool array = entry != nullptr && entry->type == OptionType::kArray;
    // An array is read from the listing, which writes each element on one line; "-v" would
    // write an element's line ends as they are.
    Command show = scope_command(
        options, "show-options", true,
        array ? std::initializer_list<std::string_view>{} : std::initializer_list<std::string_view>{"-v"});
    show.append({"--", name});
    std::optional<std::string> output = read_output(show, kShowFailure);
    // Nothing at all: the option is not set at this scope (a value, even an empty one, ends
    // in "\n"; an empty array lists its bare name).
    if (!output || output->empty()) {
        throw missing(name);
    }
    if (array) {
        return array_elements(*output, name);
    }
    return typed(without_newline(*output), entry);
}

void set_option(const OptionsRecord& options, const std::string& name, const OptionValue& value) {
    const OptionEntry* entry = option_entry(name);
    const ScopeInfo& scope = scope_info(options.scope);
    if (stands_for_another(name, entry) || unlistable(name)) {
        throw Error("not an option name tmux takes as it is: " + text::quote(name), Error::Kind::kValue);
    }
    if (entry != nullptr && entry->type == OptionType::kHook) {
        throw Error(text::quote(name) + " is a hook, not an option", Error::Kind::kValue);
    }
    if (entry != nullptr && (entry->scopes & scope.option_scopes) == 0) {
        throw Error("option " + text::quote(name) + " cannot be set on " + std::string(scope.shown),
                    Error::Kind::kValue);
    }
    bool array = entry != nullptr && entry->type == OptionType::kArray;
    const auto* elements = std::get_if<std::vector<std::string>>(&value);
    if (array != (elements != nullptr)) {
        throw Error(array ? "option " + text::quote(name) + " is an array: assign a list of str"
                          : "only an array option takes a list: " + text::quote(name),
                    Error::Kind::kType);
    }
    // The value is stored as given: set-option expands formats only with -F.
    Command command = scope_command(options, "set-option", false);
    if (!array) {
        std::string text = std::visit(
            [](const auto& held) -> std::string {
                using Held = std::decay_t<decltype(held)>;
                if constexpr (std::is_same_v<Held, bool>) {
                    return held ? "on" : "off";
                } else if constexpr (std::is_same_v<Held, std::int64_t>) {
                    return std::to_string(held);
                } else if constexpr (std::is_same_v<Held, std::string>) {
                    return held;
                } else {
                    return {};
                }
            },
            value);
        command.append({"--", name, text});
        run_or_refuse(command, kSetFailure);
        return;
    }
    // An empty text empties the array; each element then goes to its own index, so that no
    // separator inside an element splits it.
    command.append({"--", name, ""});
    for (std::size_t index = 0; index < elements->size(); ++index) {
        command.chain();
        Command element = scope_command(options, "set-option", false);
        command.args.insert(command.args.end(), element.args.begin(), element.args.end());
        command.append({"--", name + "[" + std::to_string(index) + "]", (*elements)[index]});
    }
    run_or_refuse(command, kSetFailure);
}

void unset_option(const OptionsRecord& options, const std::string& name) {
    read_option(options, name);
    Command command = scope_command(options, "set-option", false, {"-u"});
    command.append({"--", name});
    run_or_refuse(command, kSetFailure);
}

std::vector<std::string> option_names(const OptionsRecord& options) {
    std::vector<std::string> names;
    std::optional<std::string> output = read_output(scope_command(options, "show-options", true), kShowFailure);
    if (!output) {
        return names;
    }
    for (std::string_view line : listed_lines(*output)) {
        std::string_view name = line.substr(0, line.find_first_of(" ["));
        if (!name.empty() && (names.empty() || names.back() != name)) {
            names.emplace_back(name);
        }
    }
    return names;
}

namespace {

struct HookKey {
    std::string name;
    std::optional<std::string> index;
    // "name[N]"; a plain name stands for index 0 where one entry is meant.
    std::string entry() const { return name + "[" + index.value_or("0") + "]"; }
};

// The key as a hook's name and index: a hook tmux knows at this scope (or one it may know
// that no known name starts with), with digits for its index. Nothing otherwise.
std::optional<HookKey> hook_key(const HooksRecord& hooks, std::string_view key) {
    HookKey parsed;
    std::size_t bracket = key.find('[');
    parsed.name = key.substr(0, bracket);
    if (bracket != std::string_view::npos) {
        std::string_view digits = key.substr(bracket + 1);
        if (!digits.ends_with(']') || digits.size() < 2 ||
            !std::all_of(digits.begin(), digits.end() - 1, [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        parsed.index = std::string(digits.substr(0, digits.size() - 1));
    }
    const OptionEntry* entry = option_entry(parsed.name);
    if (parsed.name.starts_with('@') || stands_for_another(parsed.name, entry) || unlistable(parsed.name) ||
        (entry != nullptr &&
         (entry->type != OptionType::kHook || (entry->scopes & scope_info(hooks.scope).hook_scopes) == 0))) {
        return std::nullopt;
    }
    return parsed;
}

// The set entries of a show-hooks listing: "name[N]" and the command.
std::vector<std::pair<std::string_view, std::string_view>> hook_entries(std::string_view listing) {
    std::vector<std::pair<std::string_view, std::string_view>> entries;
    for (std::string_view line : listed_lines(listing)) {
        std::size_t space = line.find("] ");
        if (space != std::string_view::npos && space + 2 < line.size()) {
            entries.emplace_back(line.substr(0, space + 1), line.substr(space + 2));
        }
    }
    return entries;
}

std::vector<std::pair<std::string_view, std::string_view>> shown_hooks(const HooksRecord& hooks,
                                                                       const std::string& shown, std::string& listing) {
    Command show = scope_command(hooks, "show-hooks", true, {"--", shown});
    listing = read_output(show, hook_failure("show-hooks")).value_or("");
    return hook_entries(listing);
}

}  // namespace

std::string read_hook(const HooksRecord& hooks, const std::string& key) {
    std::optional<HookKey> parsed = hook_key(hooks, key);
    if (!parsed) {
        throw missing(key);
    }
    std::string listing;
    for (const auto& [entry, command] : shown_hooks(hooks, parsed->entry(), listing)) {
        if (entry == parsed->entry()) {
            return std::string(command);
        }
    }
    throw missing(key);
}

void set_hook(const HooksRecord& hooks, const std::string& key, const std::string& command) {
    std::optional<HookKey> parsed = hook_key(hooks, key);
    if (!parsed) {
        throw Error(
            "not a hook tmux can set on " + std::string(scope_info(hooks.scope).shown) + ": " + text::quote(key),
            Error::Kind::kValue);
    }
    // tmux parses the command when the hook is set and refuses one it cannot parse.
    run_or_refuse(scope_command(hooks, "set-hook", false, {"--", parsed->entry(), command}), hook_failure("set-hook"));
}

void unset_hook(const HooksRecord& hooks, const std::string& key) {
    std::optional<HookKey> parsed = hook_key(hooks, key);
    if (!parsed) {
        throw missing(key);
    }
    // A plain name stands for every index here.
    std::string target = parsed->index ? parsed->entry() : parsed->name;
    std::string listing;
    if (shown_hooks(hooks, target, listing).empty()) {
        throw missing(key);
    }
    run_or_refuse(scope_command(hooks, "set-hook", false, {"-u", "--", target}), hook_failure("set-hook"));
}

std::vector<std::string> hook_names(const HooksRecord& hooks) {
    Command show = scope_command(hooks, "show-hooks", true);
    // The global hooks of windows and panes are listed apart from the sessions'.
    if (hooks.scope == "global") {
        show.chain();
        show.append({"show-hooks", "-g", "-w"});
    }
    std::vector<std::string> names;
    std::string listing = read_output(show, hook_failure("show-hooks")).value_or("");
    for (const auto& [entry, command] : hook_entries(listing)) {
        names.emplace_back(entry);
    }
    return names;
}

}  // namespace vordalin::core
