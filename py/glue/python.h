// The one way this extension includes Python: the limited C API of 3.11,
// so that a single build imports under every later interpreter.
#pragma once

#ifndef Py_LIMITED_API
#error "the extension is built against the limited API (Py_LIMITED_API=0x030B0000)"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
