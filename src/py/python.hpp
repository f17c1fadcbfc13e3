#pragma once

// The one place that includes Python.h, so the limited-API level is set for every file.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030A0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
