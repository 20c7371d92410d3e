// Shared declarations of the zetadesk_setup module (the packaging script).
#pragma once

#include "modframe.h"

namespace zsetup {

using namespace mf;
using mf::operator""_id;

// Module-level functions: compiled-module discovery and compilation.
PyObject *should_exclude_dir(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *should_exclude_file(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *should_keep_as_py(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *get_cython_extensions(PyObject *, PyObject *);

// The custom build_py command class, derived from `base`.
Ref make_build_py_class(PyObject *base);

// Parses a call's arguments the way a compiled `def f(a, b)` does: each
// parameter by position or by its keyword name.  `counted` is the number of
// leading parameters not in `names` but counted in messages (1 for self).
// Fills `out` (borrowed) or raises TypeError.
void parse_arguments(const char *function, std::initializer_list<PyObject *> names, int counted,
                     PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out);

// The text of an f-string: each part formatted with format(part, "") and joined.
Ref text(std::initializer_list<PyObject *> parts);

// print(message) and print(message, end=" ", flush=True).
void print(PyObject *message);
void print_partial(PyObject *message);

}  // namespace zsetup
