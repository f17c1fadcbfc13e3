#pragma once

#include <type_traits>

#include "core/events.hpp"
#include "core/records.hpp"
#include "py/python.hpp"
#include "py/ref.hpp"
#include "py/types.hpp"

namespace vordalin::api {

// Created at import.
PyTypeObject* server_type();

// What each record's Python class is made of; each class file defines its own.
const py::TypeSpec& class_spec(std::type_identity<core::ServerRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::SessionRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::WindowRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::PaneRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::SessionMetadata>);
const py::TypeSpec& class_spec(std::type_identity<core::WindowMetadata>);
const py::TypeSpec& class_spec(std::type_identity<core::LastCommandRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::CommandResult>);
const py::TypeSpec& class_spec(std::type_identity<core::Snapshot>);
const py::TypeSpec& class_spec(std::type_identity<core::WindowInfo>);
const py::TypeSpec& class_spec(std::type_identity<core::PaneInfo>);
const py::TypeSpec& class_spec(std::type_identity<core::OptionsRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::HooksRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::EnvironmentRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::ClientInfo>);
const py::TypeSpec& class_spec(std::type_identity<core::PaneMark>);
const py::TypeSpec& class_spec(std::type_identity<core::RunResult>);
const py::TypeSpec& class_spec(std::type_identity<core::Event>);
const py::TypeSpec& class_spec(std::type_identity<core::EventsRecord>);
const py::TypeSpec& class_spec(std::type_identity<core::WatchRecord>);

// vordalin._pane_watch(pane): the watch a wait on the pane sleeps on, or None where waits poll.
PyObject* pane_watch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// vordalin.snapshot_all(servers, *, commandlines=False, timeout=30.0): one snapshot (or the
// exception it raised) per server, taken all at once.
PyObject* snapshot_all(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kSnapshotAllDoc;

// vordalin._restore(class_name, *fields): the record that pickle and copy saved.
PyObject* restore(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// A record's class, created on first use (Server's at import) and kept for the process.
template <class Record>
PyTypeObject* class_type() {
    static py::LazyType type([]() -> const py::TypeSpec& { return class_spec(std::type_identity<Record>{}); });
    return type.get();
}

}  // namespace vordalin::api
