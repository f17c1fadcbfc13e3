// The Events class (a stream of a server's or a session's events) and the Event record.
#include "core/events.hpp"

#include <chrono>
#include <cmath>
#include <limits>

#include "api/common.hpp"
#include "py/aio.hpp"

namespace vordalin::api {

namespace {

using Record = core::EventsRecord;
constexpr const char* kClass = "Events";

constexpr auto kGet =
    py::signature(kClass, "get", py::timeout("timeout", "None", std::numeric_limits<double>::infinity()));

std::shared_ptr<channel::EventStream> stream_of(PyObject* self) {
    py::SharedAccess access(py::instance<Record>(self).access);
    return record_of<Record>(self).stream;
}

runner::Clock::time_point deadline_after(std::optional<double> timeout) {
    if (!timeout || std::isinf(*timeout)) {
        return runner::Clock::time_point::max();
    }
    return runner::Clock::now() +
           std::chrono::duration_cast<runner::Clock::duration>(std::chrono::duration<double>(*timeout));
}

// The next event by the deadline, or None: at the deadline, and once the stream has ended.
// `ended` tells which.
py::Ref next_event(PyObject* self, runner::Clock::time_point deadline, bool& ended) {
    std::shared_ptr<channel::EventStream> stream = stream_of(self);
    core::Event event;
    channel::EventStream::Got got = stream->next(deadline, event);
    ended = got == channel::EventStream::Got::kEnd;
    if (got != channel::EventStream::Got::kEvent) {
        return py::Ref::new_ref(Py_None);
    }
    return to_python(std::move(event));
}

PyObject* get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        auto [timeout] = py::bind(kGet, args, nargs, kwnames);
        bool ended = false;
        return next_event(self, deadline_after(timeout), ended).release();
    });
}

PyObject* iter_next(PyObject* self) {
    return py::entry([&]() -> PyObject* {
        bool ended = false;
        py::Ref event = next_event(self, runner::Clock::time_point::max(), ended);
        // Returning nothing without an exception ends the iteration.
        return ended ? nullptr : event.release();
    });
}

// What the coroutine of `async for` takes without waiting: an Event, or None when none is
// queued yet; StopAsyncIteration once the stream has ended.
PyObject* take(PyObject* self, PyObject*) {
    return py::entry([&] {
        bool ended = false;
        py::Ref event = next_event(self, runner::Clock::time_point::min(), ended);
        if (ended) {
            PyErr_SetNone(PyExc_StopAsyncIteration);
            throw py::ErrorAlreadySet{};
        }
        return event.release();
    });
}

PyObject* descriptor(PyObject* self, void*) {
    return py::entry([&] { return to_python(stream_of(self)->descriptor()).release(); });
}

PyObject* anext(PyObject* self) {
    return py::entry([&] {
        py::Ref coroutine = py::aio("next_event");
        return PyObject_CallFunctionObjArgs(coroutine.get(), self, nullptr);
    });
}

PyObject* same(PyObject* self) {
    return py::Ref::new_ref(self).release();
}

PyObject* enter(PyObject* self, PyObject*) {
    return same(self);
}

PyObject* close(PyObject* self, PyObject*) {
    return py::entry([&] {
        std::shared_ptr<channel::EventStream> stream = stream_of(self);
        runner::without_lock([&]() noexcept {
            stream->close();
            return true;
        });
        return py::Ref::new_ref(Py_None).release();
    });
}

constexpr auto kPaneWatch = py::signature("vordalin", "_pane_watch", record_argument<core::PaneRecord>("pane"));
constexpr auto kChanged = py::signature("_PaneWatch", "changed", py::timeout("timeout", "None", 0.0));

// Whether the pane may have changed since the last call, by the timeout.
PyObject* watch_changed(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        auto [timeout] = py::bind(kChanged, args, nargs, kwnames);
        std::shared_ptr<channel::Watch> watch = record_of<core::WatchRecord>(self).watch;
        return py::new_bool(watch->changed(deadline_after(timeout))).release();
    });
}

}  // namespace

PyObject* pane_watch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry([&] {
        auto [pane] = py::bind(kPaneWatch, args, nargs, kwnames);
        std::unique_ptr<channel::Watch> watch = channel::watch_pane(pane.socket, pane.pane_id);
        if (!watch) {
            return py::Ref::new_ref(Py_None).release();
        }
        return py::make_instance(class_type<core::WatchRecord>(), core::WatchRecord{std::move(watch)}).release();
    });
}

const py::TypeSpec& class_spec(std::type_identity<core::WatchRecord>) {
    static PyMethodDef methods[] = {
        {kChanged.name, as_method(watch_changed), METH_FASTCALL | METH_KEYWORDS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static const py::TypeSpec spec{"builtins._PaneWatch",
                                   sizeof(py::Instance<core::WatchRecord>),
                                   nullptr,
                                   false,
                                   nullptr,
                                   py::dealloc<core::WatchRecord>,
                                   nullptr,
                                   methods,
                                   nullptr};
    return spec;
}

const py::TypeSpec& class_spec(std::type_identity<core::Event>) {
    return value_spec<core::Event>();
}

const py::TypeSpec& class_spec(std::type_identity<Record>) {
    static PyMethodDef methods[] = {
        {kGet.name, as_method(get), METH_FASTCALL | METH_KEYWORDS,
         keep_text(
             py::signature_doc(kGet.name, kGet.params,
                               "Return the next event, waiting for it at most `timeout` seconds (None: as long as it\n"
                               "takes); None at the timeout, and at once when the stream has ended.\n\n"
                               "The wait lets other threads run, and Ctrl-C ends it."))},
        {"close", close, METH_NOARGS,
         "close($self, /)\n--\n\n"
         "End the stream and wait for its tmux client to exit; events not yet taken are dropped.\n"
         "Iteration stops, and get() returns None. Closing again does nothing."},
        {"__enter__", enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn the stream itself."},
        {"__exit__", as_method(+[](PyObject* self, PyObject*) { return close(self, nullptr); }), METH_VARARGS,
         "__exit__($self, exc_type, exc, traceback, /)\n--\n\nClose the stream and let any exception go on."},
        {"_take", take, METH_NOARGS, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getsets[] = {
        {"_descriptor", descriptor, nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static const py::TypeSpec spec{
        keep_text(std::string("builtins.") + kClass),
        sizeof(py::Instance<Record>),
        "A stream of tmux's events, from a control client of its own (Server.events(),\n"
        "Session.events()).\n\n"
        "Iterate over it (each step waits for the next event), `async for` over it (the event loop\n"
        "never blocks), or take events with get(timeout). Iteration stops when the server exits\n"
        "(after an Event of kind \"exit\") or the stream is closed. Use it in a with block, or\n"
        "close() it, to end its client.",
        false,
        nullptr,
        py::dealloc<Record>,
        nullptr,
        methods,
        getsets,
        nullptr,
        nullptr,
        {{Py_tp_iter, reinterpret_cast<void*>(same)},
         {Py_tp_iternext, reinterpret_cast<void*>(iter_next)},
         {Py_am_aiter, reinterpret_cast<void*>(same)},
         {Py_am_anext, reinterpret_cast<void*>(anext)}},
    };
    return spec;
}

}  // namespace vordalin::api
