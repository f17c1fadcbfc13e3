#pragma once

#include "py/python.hpp"
#include "py/ref.hpp"

namespace vordalin::py {

// Per-object access flag: any number of shared holders, or one exclusive holder.
// The interpreter lock already serialises entry points; the flag catches re-entry from
// code that runs while an entry point is active (a signal handler, for instance).
class AccessFlag {
public:
    int state = 0;  // > 0: shared holders, -1: exclusive
};

class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) : flag_(flag) {
        if (flag_.state < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw ErrorAlreadySet{};
        }
        ++flag_.state;
    }
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    ~SharedAccess() { --flag_.state; }

private:
    AccessFlag& flag_;
};

class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) : flag_(flag) {
        if (flag_.state != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw ErrorAlreadySet{};
        }
        flag_.state = -1;
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ~ExclusiveAccess() { flag_.state = 0; }

private:
    AccessFlag& flag_;
};

}  // namespace vordalin::py
