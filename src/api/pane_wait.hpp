// The waits of the Pane class and their awaitable twins (api/pane_wait.cpp).
#pragma once

#include <vector>

#include "py/python.hpp"

namespace vordalin::api {

// mark, wait_for, wait_quiet, wait_exit, run and their awaitable forms, for Pane's method table.
std::vector<PyMethodDef> pane_wait_methods();

}  // namespace vordalin::api
