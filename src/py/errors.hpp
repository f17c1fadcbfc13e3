#pragma once

#include "core/error.hpp"
#include "py/python.hpp"

namespace vordalin::py {

// vordalin.TmuxError (a RuntimeError) and vordalin.NotFoundError (a TmuxError), made on first
// use and kept for the life of the process, like the classes. Borrowed references; nullptr
// with a Python error set when they cannot be made.
PyObject* tmux_error_type() noexcept;
PyObject* not_found_error_type() noexcept;

// Sets the TmuxError or NotFoundError of a failure tmux reported, with its attributes.
void set_tmux_error(const core::Error& error) noexcept;

}  // namespace vordalin::py
