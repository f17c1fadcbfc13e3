#pragma once

#include "core/records.hpp"
#include "py/python.hpp"
#include "py/ref.hpp"

namespace vordalin::api {

// Server is created at import; the other classes on first use.
PyTypeObject* server_type();

py::Ref make_session(core::SessionRecord record);
py::Ref make_window(core::WindowRecord record);
py::Ref make_pane(core::PaneRecord record);
py::Ref make_session_metadata(core::SessionMetadata record);
py::Ref make_window_metadata(core::WindowMetadata record);
py::Ref make_last_command(core::LastCommandRecord record);

}  // namespace vordalin::api
