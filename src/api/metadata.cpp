// SessionMetadata and WindowMetadata: read-only snapshots, made only by the module.
#include "api/common.hpp"

namespace vordalin::api {

namespace {

using Session = core::SessionMetadata;
using Window = core::WindowMetadata;

const py::TypeSpec& session_metadata_spec() {
    static PyGetSetDef getsets[] = {
        field<Session, &Session::id>("id"),
        field<Session, &Session::name>("name"),
        field<Session, &Session::created>("created"),
        field<Session, &Session::attached>("attached"),
        field<Session, &Session::width>("width"),
        field<Session, &Session::height>("height"),
        field<Session, &Session::windows>("windows"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.SessionMetadata", sizeof(py::Instance<Session>), nullptr, false, nullptr,
        py::dealloc<Session>, text_form<Session>, nullptr, getsets,
    };
    return spec;
}

const py::TypeSpec& window_metadata_spec() {
    static PyGetSetDef getsets[] = {
        field<Window, &Window::index>("index"),
        field<Window, &Window::name>("name"),
        field<Window, &Window::active>("active"),
        field<Window, &Window::layout>("layout"),
        field<Window, &Window::width>("width"),
        field<Window, &Window::height>("height"),
        field<Window, &Window::flags>("flags"),
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        "builtins.WindowMetadata", sizeof(py::Instance<Window>), nullptr, false, nullptr,
        py::dealloc<Window>, text_form<Window>, nullptr, getsets,
    };
    return spec;
}

py::LazyType g_session_metadata_type(session_metadata_spec);
py::LazyType g_window_metadata_type(window_metadata_spec);

}  // namespace

py::Ref make_session_metadata(core::SessionMetadata record) {
    return py::make_instance(g_session_metadata_type.get(), std::move(record));
}

py::Ref make_window_metadata(core::WindowMetadata record) {
    return py::make_instance(g_window_metadata_type.get(), std::move(record));
}

}  // namespace vordalin::api
