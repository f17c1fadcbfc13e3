// Pane's waits. Each wait is a job: a look at the pane (core/pane_wait.hpp), the result it
// converts, and what its TimeoutError says. A blocking call runs the job in core's loop; an
// awaitable one hands a step of it to a coroutine of src/py/aio.py, which waits between steps
// on the running event loop.
#include "api/pane_wait.hpp"

#include <chrono>
#include <memory>

#include "api/common.hpp"
#include "core/pane.hpp"
#include "core/pane_wait.hpp"
#include "core/wait.hpp"
#include "py/aio.hpp"

namespace vordalin::api {

namespace {

using Record = core::PaneRecord;
constexpr const char* kClass = core::RecordTable<Record>::kClass;
// How often a wait looks at a pane that has no watch, when the caller does not say.
constexpr double kPollInterval = 0.05;

class Job {
public:
    explicit Job(Record pane) : pane_(std::move(pane)), failure_("wait for pane " + pane_.pane_id + " failed: ") {}
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    virtual ~Job() = default;

    virtual core::Progress look() = 0;
    virtual py::Ref result() = 0;
    // What did not happen in time; " within N seconds" follows it in the TimeoutError.
    virtual py::Ref missed() = 0;

    const Record& pane() const noexcept { return pane_; }

protected:
    Record pane_;
    std::string failure_;
};

[[noreturn]] void raise_timeout(Job& job, std::optional<double> timeout) {
    py::Ref limit = py::Ref::steal(PyFloat_FromDouble(timeout.value_or(0)));
    py::Ref missed = job.missed();
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat("%U within %R seconds", missed.get(), limit.get()));
    PyErr_SetObject(PyExc_TimeoutError, message.get());
    throw py::ErrorAlreadySet{};
}

PyObject* wait_blocking(Job& job, std::optional<double> timeout, double interval) {
    core::PaneSleep sleep(job.pane(), interval);
    if (!core::wait_until(sleep, core::deadline_after(timeout), [&] { return job.look(); })) {
        raise_timeout(job, timeout);
    }
    return job.result().release();
}

// An awaitable wait between two steps: its job, and what it sleeps on.
struct Pending {
    std::unique_ptr<Job> job;
    core::PaneSleep sleep;
    std::optional<double> timeout;
};

constexpr const char* kPendingName = "vordalin.pane_wait";

void drop_pending(PyObject* capsule) {
    delete static_cast<Pending*>(PyCapsule_GetPointer(capsule, kPendingName));
}

// step(expired) -> (done, result, again): one look at the pane; `again` is when, in seconds
// from now, time alone may end the wait (None: only a change can). Raises the wait's
// TimeoutError when `expired` and the wait is not over.
PyObject* step(PyObject* capsule, PyObject* expired) {
    return py::entry([&] {
        auto* pending = static_cast<Pending*>(PyCapsule_GetPointer(capsule, kPendingName));
        if (pending == nullptr) {
            throw py::ErrorAlreadySet{};
        }
        pending->sleep.settle();
        core::Progress progress = pending->job->look();
        if (progress.done) {
            py::Ref result = pending->job->result();
            return py::Ref::steal(PyTuple_Pack(3, Py_True, result.get(), Py_None)).release();
        }
        int is_expired = PyObject_IsTrue(expired);
        if (is_expired < 0) {
            throw py::ErrorAlreadySet{};
        }
        if (is_expired != 0) {
            raise_timeout(*pending->job, pending->timeout);
        }
        py::Ref again = py::Ref::new_ref(Py_None);
        if (progress.again) {
            again = py::Ref::steal(
                PyFloat_FromDouble(std::chrono::duration<double>(*progress.again - core::Clock::now()).count()));
        }
        return py::Ref::steal(PyTuple_Pack(3, Py_False, Py_None, again.get())).release();
    });
}

PyMethodDef g_step = {"step", step, METH_O, nullptr};

// The coroutine of the job; nothing runs until it is awaited, apart from setting up the watch.
PyObject* wait_awaitable(std::unique_ptr<Job> job, std::optional<double> timeout, double interval) {
    auto pending = std::make_unique<Pending>(Pending{nullptr, core::PaneSleep(job->pane(), interval), timeout});
    pending->job = std::move(job);
    int descriptor = pending->sleep.descriptor();
    py::Ref capsule = py::Ref::steal(PyCapsule_New(pending.get(), kPendingName, drop_pending));
    pending.release();  // the capsule owns it now
    py::Ref function = py::Ref::steal(PyCFunction_NewEx(&g_step, capsule.get(), nullptr));
    py::Ref limit = timeout ? py::Ref::steal(PyFloat_FromDouble(*timeout)) : py::Ref::new_ref(Py_None);
    py::Ref fd = py::Ref::steal(PyLong_FromLong(descriptor));
    py::Ref every = py::Ref::steal(PyFloat_FromDouble(interval));
    py::Ref coroutine = py::aio("pane_wait");
    return PyObject_CallFunctionObjArgs(coroutine.get(), function.get(), fd.get(), limit.get(), every.get(), nullptr);
}

// Whether the text shows the pattern; a compiled pattern is searched in the text's str, which
// is kept in `text` for the answer.
bool shows(const py::SearchPattern& pattern, std::string_view screen, py::Ref& text) {
    if (!pattern.compiled) {
        return screen.find(pattern.text) != std::string_view::npos;
    }
    text = py::new_str_lossy(screen);
    py::Ref search = py::Ref::steal(PyObject_GetAttrString(pattern.object.get(), "search"));
    py::Ref match = py::Ref::steal(PyObject_CallFunctionObjArgs(search.get(), text.get(), nullptr));
    return match.get() != Py_None;
}

class PatternJob : public Job {
public:
    PatternJob(Record pane, py::SearchPattern pattern, bool full, std::optional<core::PaneMark> since)
        : Job(std::move(pane)), pattern_(std::move(pattern)), full_(full) {
        if (since) {
            below_.emplace(pane_, std::move(*since));
        }
    }

    core::Progress look() override {
        text_ = py::Ref();
        if (below_) {
            screen_ = below_->read(failure_);
        } else {
            screen_ = std::string(core::checked_capture(pane_, full_, failure_).raw());
        }
        return {shows(pattern_, screen_, text_), std::nullopt};
    }
    py::Ref result() override { return text_ ? std::move(text_) : py::new_str_lossy(screen_); }
    py::Ref missed() override {
        return py::Ref::steal(
            PyUnicode_FromFormat("%R did not appear in pane %s", pattern_.object.get(), pane_.pane_id.c_str()));
    }

private:
    py::SearchPattern pattern_;
    bool full_;
    std::optional<core::LinesBelow> below_;
    std::string screen_;
    py::Ref text_;
};

class QuietJob : public Job {
public:
    QuietJob(Record pane, double quiet) : Job(pane), look_(std::move(pane), quiet), quiet_(quiet) {}
    core::Progress look() override { return look_.look(failure_); }
    py::Ref result() override { return py::new_str(look_.screen()); }
    py::Ref missed() override {
        py::Ref quiet = py::Ref::steal(PyFloat_FromDouble(quiet_));
        return py::Ref::steal(
            PyUnicode_FromFormat("pane %s did not stay quiet for %R seconds", pane_.pane_id.c_str(), quiet.get()));
    }

private:
    core::QuietLook look_;
    double quiet_;
};

class ExitJob : public Job {
public:
    explicit ExitJob(Record pane) : Job(pane), look_(std::move(pane)) {}
    core::Progress look() override { return look_.look(); }
    py::Ref result() override { return to_python(look_.status()); }
    py::Ref missed() override {
        return py::Ref::steal(PyUnicode_FromFormat("the program of pane %s did not exit", pane_.pane_id.c_str()));
    }

private:
    core::ExitLook look_;
};

class RunJob : public Job {
public:
    RunJob(Record pane, std::string command) : Job(pane), command_(command), look_(std::move(pane), command) {}
    core::Progress look() override { return look_.look(failure_); }
    py::Ref result() override { return to_python(look_.result()); }
    py::Ref missed() override {
        py::Ref command = py::new_str(command_);
        return py::Ref::steal(PyUnicode_FromFormat("%R did not finish in pane %s (it may still be running)",
                                                   command.get(), pane_.pane_id.c_str()));
    }

private:
    std::string command_;
    core::RunLook look_;
};

// Each wait as a blocking method and as an awaitable one, from one binding of its arguments.
template <bool Awaitable, const auto& Sig, class Make>
PyObject* wait_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Make&& make) {
    return py::entry([&]() -> PyObject* {
        auto values = py::bind(Sig, args, nargs, kwnames);
        Record pane = copy_of<Record>(self);
        auto [job, timeout, interval] = std::apply([&](auto&... value) { return make(pane, value...); }, values);
        if constexpr (Awaitable) {
            return wait_awaitable(std::move(job), timeout, interval);
        } else {
            return wait_blocking(*job, timeout, interval);
        }
    });
}

struct Made {
    std::unique_ptr<Job> job;
    std::optional<double> timeout;
    double interval;
};

template <const char* Name>
constexpr auto pattern_signature() {
    return py::signature(kClass, Name, py::pattern("pattern"), py::timeout("timeout", "10.0", 10.0),
                         py::keyword_only(py::flag("full", false)),
                         py::keyword_only(py::interval("interval", "0.05", 0.05)),
                         py::keyword_only(optional_record_argument<core::PaneMark>("since")));
}
constexpr char kWaitForName[] = "wait_for";
constexpr char kAwaitForName[] = "await_for";
constexpr auto kWaitFor = pattern_signature<kWaitForName>();
constexpr auto kAwaitFor = pattern_signature<kAwaitForName>();

Made make_pattern(const Record& pane, py::SearchPattern& pattern, std::optional<double> timeout, bool full,
                  double interval, std::optional<core::PaneMark>& since) {
    return {std::make_unique<PatternJob>(pane, std::move(pattern), full, std::move(since)), timeout, interval};
}

constexpr auto kWaitQuiet =
    py::signature(kClass, "wait_quiet", py::interval("quiet", "0.5", 0.5), py::timeout("timeout", "10.0", 10.0));
constexpr auto kAwaitQuiet =
    py::signature(kClass, "await_quiet", py::interval("quiet", "0.5", 0.5), py::timeout("timeout", "10.0", 10.0));

Made make_quiet(const Record& pane, double quiet, std::optional<double> timeout) {
    return {std::make_unique<QuietJob>(pane, quiet), timeout, kPollInterval};
}

constexpr auto kWaitExit = py::signature(kClass, "wait_exit", py::timeout("timeout", "10.0", 10.0));
constexpr auto kAwaitExit = py::signature(kClass, "await_exit", py::timeout("timeout", "10.0", 10.0));

Made make_exit(const Record& pane, std::optional<double> timeout) {
    return {std::make_unique<ExitJob>(pane), timeout, kPollInterval};
}

constexpr auto kRun = py::signature(kClass, "run", py::text("command"), py::timeout("timeout", "60.0", 60.0));
constexpr auto kArun = py::signature(kClass, "arun", py::text("command"), py::timeout("timeout", "60.0", 60.0));

Made make_run(const Record& pane, const std::string& command, std::optional<double> timeout) {
    return {std::make_unique<RunJob>(pane, command), timeout, kPollInterval};
}

template <bool Awaitable, const auto& Sig, auto Make>
PyObject* bound_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return wait_call<Awaitable, Sig>(self, args, nargs, kwnames,
                                     [](const Record& pane, auto&... value) { return Make(pane, value...); });
}

template <bool Awaitable, const auto& Sig, auto Make>
PyMethodDef wait_method(const char* body) {
    return PyMethodDef{Sig.name, as_method(bound_wait<Awaitable, Sig, Make>), METH_FASTCALL | METH_KEYWORDS,
                       keep_text(py::signature_doc(Sig.name, Sig.params, body))};
}

const char* awaitable_doc(const char* blocking) {
    return keep_text(std::string("The awaitable form of ") + blocking +
                     "(): the same parameters, result and errors.\n\n"
                     "Waits on the running event loop without blocking it and without a thread: on the\n"
                     "channel's descriptor when tmux's events can wake it, else with asyncio.sleep between\n"
                     "looks. Each look at the pane is a short tmux call made on the loop. Cancelling the\n"
                     "task ends the wait and leaves everything (the channel included) as it was.");
}

}  // namespace

std::vector<PyMethodDef> pane_wait_methods() {
    return {
        no_argument_method<Record, core::mark_pane>(
            "mark",
            "Note where the pane's cursor line is now, for wait_for(since=...).\n\n"
            "A mark counts lines from the top of the pane's history (the history size plus the\n"
            "cursor row), so it keeps pointing at the same line while output scrolls it up.\n"
            "Take it before typing, so that the typed line and what came before are above it:\n\n"
            "    mark = pane.mark()\n"
            "    pane.send_keys('make test', enter=True)\n"
            "    pane.wait_for('passed', since=mark)\n\n"
            "At the edges: after a clear that scrolls the screen into the history (tmux's\n"
            "scroll-on-clear, on by default) the marked line is still where it was, above the new\n"
            "screen; a clear that wipes the screen and the history makes all of the new screen\n"
            "count as below, and so does a program that moves the cursor above the marked line (a\n"
            "full-screen one). When tmux drops lines from the top of the history (clear-history, or\n"
            "a full history at history-limit dropping its oldest tenth), the wait counts the drops\n"
            "and follows the line up; in a full history, where a burst of output can hide a drop\n"
            "between two looks, it finds the line by the rows the mark saw right above it\n"
            "(`above`). Once the marked line itself is dropped, every line left is below it.\n\n"
            "Returns:\n    Mark\n\nRaises: RuntimeError when the pane is gone."),
        wait_method<false, kWaitFor, make_pattern>(
            "Wait until the pane shows a pattern, and return what it showed.\n\n"
            "Looks at the pane (as capture(full=full) does) until the pattern appears: when the\n"
            "server has a channel open, each time tmux reports that the pane may have changed, and\n"
            "otherwise every `interval` seconds. The interpreter lock is released while it waits,\n"
            "and Ctrl-C ends the wait.\n\n"
            "Args:\n"
            "    pattern: A str to find as a substring, or a compiled re.Pattern to search for.\n"
            "    timeout: Seconds to wait at most; None waits without limit.\n"
            "    full: Search the pane's history too, not only the visible screen.\n"
            "    interval: Seconds between two looks when nothing can wake the wait earlier.\n"
            "    since: A Mark from mark(): look only at the lines below the marked line, history\n"
            "        included, so that neither older text nor the line typed after the mark can\n"
            "        match, and output that came before the wait began still does (`full` is then\n"
            "        moot). Wrapped lines come joined there.\n\n"
            "Returns:\n"
            "    str: the capture in which the pattern appeared, exactly as capture() gives it; with\n"
            "    `since`, the lines below the mark.\n\n"
            "Raises:\n"
            "    TimeoutError: the pattern did not appear within the timeout.\n"
            "    ValueError: the mark is of another pane.\n"
            "    RuntimeError: the pane cannot be captured (it is gone, or the server is)."),
        wait_method<true, kAwaitFor, make_pattern>(awaitable_doc("wait_for")),
        wait_method<false, kWaitQuiet, make_quiet>(
            "Wait until the pane has printed nothing for `quiet` seconds, and return its screen.\n\n"
            "Returns no sooner than `quiet` seconds after the wait began or after the pane last\n"
            "changed, whichever is later. With a channel open, tmux's events tell it of every\n"
            "output; otherwise it compares what it sees every 0.05 seconds: the visible screen,\n"
            "the cursor and the history's length (tmux 3.3a keeps the time of a window's last\n"
            "activity only to the second, too coarse for this). Output that leaves all three as\n"
            "they were goes unseen there.\n\n"
            "Args:\n"
            "    quiet: Seconds without output that count as quiet (above zero).\n"
            "    timeout: Seconds to wait at most; None waits without limit.\n\n"
            "Returns:\n    str: the visible capture, as capture() gives it.\n\n"
            "Raises:\n"
            "    TimeoutError: the pane did not stay quiet that long within the timeout.\n"
            "    RuntimeError: the pane is gone, or its server is."),
        wait_method<true, kAwaitQuiet, make_quiet>(awaitable_doc("wait_quiet")),
        wait_method<false, kWaitExit, make_exit>(
            "Wait until the pane's program has exited.\n\n"
            "Returns:\n"
            "    int | None: its exit status when tmux keeps the pane (the remain-on-exit option),\n"
            "    minus the signal's number when a signal ended it; None once the pane is gone (its\n"
            "    program exited without remain-on-exit, or the pane or its server was killed).\n\n"
            "Raises:\n    TimeoutError: it still runs at the timeout (None: no limit)."),
        wait_method<true, kAwaitExit, make_exit>(awaitable_doc("wait_exit")),
        wait_method<false, kRun, make_run>(
            "Type a command at the shell prompt in the pane and wait until it has finished.\n\n"
            "The shell must be a POSIX one (sh, dash, bash, zsh) at its prompt. The typed line runs\n"
            "the command through eval between two lines it prints, which carry a fresh nonce that\n"
            "the typed text holds only in quoted pieces: the echo of the typed line never looks\n"
            "like them, and neither does anything the command prints. The command runs in the\n"
            "shell itself (cd and variables stay), and may span several lines.\n\n"
            "Args:\n"
            "    command: The command line, as typed at the prompt.\n"
            "    timeout: Seconds to wait at most; None waits without limit.\n\n"
            "Returns:\n"
            "    RunResult: `output`, what the command printed, without the typed line and the\n"
            "    prompt (lines as capture() shows them: wrapped lines joined, trailing blanks\n"
            "    dropped; output longer than the pane's history keeps only its end), and `status`,\n"
            "    its exit status.\n\n"
            "Raises:\n"
            "    TimeoutError: it did not finish within the timeout. The command keeps running in\n"
            "        the pane; nothing stops it.\n"
            "    RuntimeError: the pane is gone, or its server is."),
        wait_method<true, kArun, make_run>(awaitable_doc("run")),
    };
}

}  // namespace vordalin::api
