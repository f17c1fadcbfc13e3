// The environment tmux gives new programs: the global one and each session's.
#pragma once

#include <string>
#include <vector>

#include "core/records.hpp"

namespace vordalin::core {

// A variable set at the scope; a KeyError-kind Error when it is not (or marked removed).
std::string read_variable(const EnvironmentRecord& environment, const std::string& name);
void set_variable(const EnvironmentRecord& environment, const std::string& name, const std::string& value);
void unset_variable(const EnvironmentRecord& environment, const std::string& name);
// The names of the variables set at the scope, not those marked removed.
std::vector<std::string> variable_names(const EnvironmentRecord& environment);

}  // namespace vordalin::core
