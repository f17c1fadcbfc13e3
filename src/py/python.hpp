#pragma once

// The one place that includes Python.h. The build defines Py_LIMITED_API when it builds the
// abi3 module, so every file sees the same API level.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
