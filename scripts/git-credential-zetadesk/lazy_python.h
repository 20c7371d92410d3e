// libpython, loaded only when the program hands over to the interpreter.
//
// Linking libpython costs the fast path milliseconds before main() even
// runs, and a linked library is found through the loader's search path, so
// the program is linked without it on every platform.  Including this header in place
// of <Python.h> turns each API function main.cpp calls into a pointer that
// lazy_python::load() fills from the library with dlsym
// (GetProcAddress on Windows).  A Python function
// missing from the list below shows up as an undefined symbol at link time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define ZETADESK_LAZY_PYTHON_API(X)                                                                        \
    X(PyConfig_Clear) X(PyConfig_InitIsolatedConfig) X(PyConfig_SetBytesArgv) X(PyConfig_SetBytesString)   \
    X(PyConfig_SetString) X(PyDict_SetItemString) X(PyErr_Clear) X(PyErr_Print) X(PyImport_GetModuleDict)   \
    X(PyImport_ImportModule) X(PyLong_AsLong) X(PyObject_Call) X(PyObject_CallMethod)                       \
    X(PyObject_GetAttrString) X(PyObject_SetAttrString) X(PyPreConfig_InitIsolatedConfig)                   \
    X(PyStatus_Exception) X(PySys_GetObject) X(PyUnicode_DecodeFSDefault) X(PyUnicode_FromString)          \
    X(Py_BuildValue) X(Py_DecRef) X(Py_ExitStatusException) X(Py_FinalizeEx) X(Py_GetConstantBorrowed)    \
    X(Py_InitializeFromConfig) X(Py_PreInitialize)

namespace lazy_python {

struct Api {
#define ZETADESK_LAZY_PYTHON_MEMBER(name) decltype(&::name) name;
    ZETADESK_LAZY_PYTHON_API(ZETADESK_LAZY_PYTHON_MEMBER)
#undef ZETADESK_LAZY_PYTHON_MEMBER
};
extern Api api;

// Loads libpython from `path`, which must be absolute (a bare name would be
// searched for, in the current directory too on macOS and Windows), and
// every function above.  False when that fails: the caller then runs the
// interpreter itself, so nothing is said here.
bool load(const char *path);

}  // namespace lazy_python

#if !defined(ZETADESK_LAZY_PYTHON_IMPL)
#define PyConfig_Clear lazy_python::api.PyConfig_Clear
#define PyConfig_InitIsolatedConfig lazy_python::api.PyConfig_InitIsolatedConfig
#define PyConfig_SetBytesArgv lazy_python::api.PyConfig_SetBytesArgv
#define PyConfig_SetBytesString lazy_python::api.PyConfig_SetBytesString
#define PyConfig_SetString lazy_python::api.PyConfig_SetString
#define PyDict_SetItemString lazy_python::api.PyDict_SetItemString
#define PyErr_Clear lazy_python::api.PyErr_Clear
#define PyErr_Print lazy_python::api.PyErr_Print
#define PyImport_GetModuleDict lazy_python::api.PyImport_GetModuleDict
#define PyImport_ImportModule lazy_python::api.PyImport_ImportModule
#define PyLong_AsLong lazy_python::api.PyLong_AsLong
#define PyObject_Call lazy_python::api.PyObject_Call
#define PyObject_CallMethod lazy_python::api.PyObject_CallMethod
#define PyObject_GetAttrString lazy_python::api.PyObject_GetAttrString
#define PyObject_SetAttrString lazy_python::api.PyObject_SetAttrString
#define PyPreConfig_InitIsolatedConfig lazy_python::api.PyPreConfig_InitIsolatedConfig
#define PyStatus_Exception lazy_python::api.PyStatus_Exception
#define PySys_GetObject lazy_python::api.PySys_GetObject
#define PyUnicode_DecodeFSDefault lazy_python::api.PyUnicode_DecodeFSDefault
#define PyUnicode_FromString lazy_python::api.PyUnicode_FromString
#define Py_BuildValue lazy_python::api.Py_BuildValue
#define Py_DecRef lazy_python::api.Py_DecRef
#define Py_ExitStatusException lazy_python::api.Py_ExitStatusException
#define Py_FinalizeEx lazy_python::api.Py_FinalizeEx
#define Py_GetConstantBorrowed lazy_python::api.Py_GetConstantBorrowed
#define Py_InitializeFromConfig lazy_python::api.Py_InitializeFromConfig
#define Py_PreInitialize lazy_python::api.Py_PreInitialize
#endif
