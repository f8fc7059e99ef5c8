// The interpreter's and NumPy's C API as every file of the module sees them.
//
// NumPy's API table is one symbol shared by all translation units; only the
// file that imports it at module execution defines TARNWEX_NUMPY_IMPORT.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// Built against NumPy 2 headers, the module runs on every NumPy from 1.25 on;
// on an older one its import fails with NumPy's own message.
#define NPY_TARGET_VERSION NPY_1_25_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarnwex_ARRAY_API
#ifndef TARNWEX_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
