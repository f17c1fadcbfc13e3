// Options and hooks of a scope, read and set as tmux keeps them at exactly that scope.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/option_table.hpp"
#include "core/records.hpp"

namespace vordalin::core {

// An option's value as its type reads: a flag, a number, an array's elements, or text.
using OptionValue = std::variant<bool, std::int64_t, std::string, std::vector<std::string>>;

// The scopes below the server, by the exact target of their object. A session whose name no
// target can hold raises as tmux would for a session it cannot find.
ScopeRecord session_scope(const SessionRecord& session);
ScopeRecord window_scope(const WindowRecord& window);
ScopeRecord pane_scope(const PaneRecord& pane);
ScopeRecord global_scope(const ServerRecord& server, std::string_view scope);

// The table's entry for exactly this name, if tmux 3.3a knows it.
const OptionEntry* option_entry(std::string_view name);

// Reading raises a KeyError-kind Error for a name not set at the scope (or unknown); setting
// raises a ValueError-kind Error with tmux's text when tmux refuses.
OptionValue read_option(const OptionsRecord& options, const std::string& name);
void set_option(const OptionsRecord& options, const std::string& name, const OptionValue& value);
void unset_option(const OptionsRecord& options, const std::string& name);
// The names set at the scope, each once.
std::vector<std::string> option_names(const OptionsRecord& options);

// Hooks by "name[N]" (a plain name means index 0 when read or set, every index when unset).
std::string read_hook(const HooksRecord& hooks, const std::string& key);
void set_hook(const HooksRecord& hooks, const std::string& key, const std::string& command);
void unset_hook(const HooksRecord& hooks, const std::string& key);
std::vector<std::string> hook_names(const HooksRecord& hooks);

}  // namespace vordalin::core
