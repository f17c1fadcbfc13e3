// Snapshot, WindowInfo and PaneInfo: a whole server as one tmux client saw it; and
// vordalin.snapshot_all, many servers at once.
#include "core/snapshot.hpp"
#include "api/common.hpp"

namespace vordalin::api {

namespace {

core::WindowRecord window_of(const core::WindowInfo& info) {
    return core::WindowRecord{info.session_name, info.index, info.socket, info.name};
}

core::PaneRecord pane_of(const core::PaneInfo& info) {
    return core::PaneRecord{info.session_name, info.window_index, info.pane_index,
                            info.pane_id,      info.title,        info.socket};
}

// An iterable of Server objects: each object (kept, to be its key) and its record.
struct ServerList {
    using Value = std::vector<std::pair<py::Ref, core::ServerRecord>>;
    Value convert(PyObject* value, const char* name) const {
        PyObject* raw_items = PyObject_GetIter(value);
        if (raw_items == nullptr) {
            PyErr_Clear();
            py::raise_cast_error(value, name, "Iterable[Server]");
        }
        py::Ref items = py::Ref::steal(raw_items);
        Value servers;
        while (PyObject* raw_item = PyIter_Next(items.get())) {
            py::Ref item = py::Ref::steal(raw_item);
            if (Py_TYPE(item.get()) != class_type<core::ServerRecord>()) {
                py::raise_cast_error(item.get(), name, "Server");
            }
            bool seen = false;
            for (const auto& [object, record] : servers) {
                seen = seen || object.get() == item.get();
            }
            if (!seen) {
                py::SharedAccess access(py::instance<core::ServerRecord>(item.get()).access);
                core::ServerRecord record = record_of<core::ServerRecord>(item.get());
                servers.emplace_back(std::move(item), std::move(record));
            }
        }
        if (PyErr_Occurred() != nullptr) {
            throw py::ErrorAlreadySet{};
        }
        return servers;
    }
};

constexpr auto kSnapshotAll = py::signature("vordalin", "snapshot_all", py::Param<ServerList>{{"servers"}, {}},
                                            py::keyword_only(py::flag("commandlines", false)),
                                            py::keyword_only(py::interval("timeout", "30.0", 30.0)));

// The exception a failed snapshot raised, as an object for its slot.
py::Ref exception_of(const core::Error& error) {
    try {
        throw error;
    } catch (...) {
        py::translate_exception();
    }
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return py::Ref::steal(value);
}

// A snapshot that did not finish in time.
py::Ref timed_out(const core::ServerRecord& server, double timeout) {
    const core::SocketPath& socket = server.socket;
    std::string where = socket.path() ? *socket.path() : "the default server";
    if (const tmux::Remote* remote = socket.remote()) {
        where += " on " + remote->host;
    }
    py::Ref seconds = py::Ref::steal(PyFloat_FromDouble(timeout));
    py::Ref message = py::Ref::steal(
        PyUnicode_FromFormat("the snapshot of %s did not finish within %R seconds", where.c_str(), seconds.get()));
    return py::Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TimeoutError, message.get(), nullptr));
}

}  // namespace

const char* const kSnapshotAllDoc =
    "snapshot_all(servers, *, commandlines=False, timeout=30.0)\n--\n\n"
    "One snapshot of each server, all taken at once.\n\n"
    "Every server's tmux client runs beside the others' (a process on this machine, or over\n"
    "ssh for a server on a host), so the whole takes about as long as the slowest server.\n\n"
    "Args:\n"
    "    servers: The Server objects.\n"
    "    commandlines: Also read each pane's command line (one ps run per server, on its host).\n"
    "    timeout: Seconds for the whole; a server not done by then gets a TimeoutError.\n\n"
    "Returns:\n"
    "    dict: each Server to its Snapshot (empty when no server runs there), or to the exception\n"
    "    its snapshot() raised (RuntimeError \"ssh to HOST failed: ...\" for an unreachable\n"
    "    host); nothing is raised for one server's failure.";

PyObject* snapshot_all(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        auto [servers, commandlines, timeout] = py::bind(kSnapshotAll, args, nargs, kwnames);
        std::vector<core::ServerRecord> records;
        for (const auto& [object, record] : servers) {
            records.push_back(record);
        }
        auto deadline = runner::Clock::now() +
                        std::chrono::duration_cast<runner::Clock::duration>(std::chrono::duration<double>(timeout));
        std::vector<core::SnapshotSlot> slots = core::take_snapshots(records, commandlines, deadline);
        py::Ref answers = py::Ref::steal(PyDict_New());
        for (std::size_t i = 0; i < slots.size(); ++i) {
            py::Ref answer = slots[i].snapshot ? to_python(std::move(*slots[i].snapshot))
                             : slots[i].error  ? exception_of(*slots[i].error)
                                               : timed_out(records[i], timeout);
            if (PyDict_SetItem(answers.get(), servers[i].first.get(), answer.get()) != 0) {
                throw py::ErrorAlreadySet{};
            }
        }
        return answers.release();
    });
}

const py::TypeSpec& class_spec(std::type_identity<core::Snapshot>) {
    return value_spec<core::Snapshot>();
}

const py::TypeSpec& class_spec(std::type_identity<core::WindowInfo>) {
    return value_spec<core::WindowInfo>({acting<core::WindowInfo, window_of>(
        "window", "The Window record of this window (no tmux command runs).\n\nReturns:\n    Window")});
}

const py::TypeSpec& class_spec(std::type_identity<core::PaneInfo>) {
    return value_spec<core::PaneInfo>({acting<core::PaneInfo, pane_of>(
        "pane", "The Pane record of this pane (no tmux command runs).\n\nReturns:\n    Pane")});
}

}  // namespace vordalin::api
