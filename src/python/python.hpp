#pragma once
// The one place that includes the interpreter's header, so that every file
// sees the same limited-API setting.
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
