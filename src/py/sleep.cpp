#include "py/sleep.hpp"

#include <time.h>

#include <cmath>

#include "py/python.hpp"
#include "py/ref.hpp"

namespace vordalin::py {

void sleep_unlocked(double seconds) {
    double whole = 0;
    double fraction = std::modf(seconds, &whole);
    timespec length{static_cast<time_t>(whole), static_cast<long>(fraction * 1e9)};
    PyThreadState* state = PyEval_SaveThread();
    // An interruption by a signal simply ends the sleep: the handlers run below.
    ::nanosleep(&length, nullptr);
    PyEval_RestoreThread(state);
    if (PyErr_CheckSignals() != 0) {
        throw ErrorAlreadySet{};
    }
}

}  // namespace vordalin::py
