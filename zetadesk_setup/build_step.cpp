// The build_py command of the compiled build: ships static/ and keeps the
// sources of compiled modules out of the build directory.
#include "setup.h"

namespace zsetup {

namespace {

Site run_site{"_zetadesk_build_py.run", __LINE__};
Site find_site{"_zetadesk_build_py.find_package_modules", __LINE__};

// super(cls, self)
Ref super_of(PyTypeObject *cls, PyObject *self) {
    return call(global("super"_id), reinterpret_cast<PyObject *>(cls), self);
}

Ref path(PyObject *p) { return call(global("Path"_id), p); }

Ref joined(const Ref &base, PyObject *name) { return Ref::steal(PyNumber_TrueDivide(base.get(), name)); }

bool contains(PyObject *container, PyObject *item) {
    int r = PySequence_Contains(container, item);
    if (r < 0) fail();
    return r;
}

// a, b, c = item, with the interpreter's own errors.
std::array<Ref, 3> unpack3(PyObject *item) {
    Ref it = Ref::adopt(PyObject_GetIter(item));
    if (!it) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) fail();
        PyErr_Clear();
        raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
    }
    std::array<Ref, 3> out;
    for (int i = 0; i < 3; ++i) {
        out[i] = Ref::adopt(PyIter_Next(it.get()));
        if (!out[i]) {
            if (PyErr_Occurred()) fail();
            raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", i);
        }
    }
    Ref extra = Ref::adopt(PyIter_Next(it.get()));
    if (extra) {
        if (PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item))
            raise_format(PyExc_ValueError, "too many values to unpack (expected 3, got %zd)",
                         PyObject_Length(item));
        raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    }
    if (PyErr_Occurred()) fail();
    return out;
}

PyObject *run(PyObject *self, PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary(run_site, [&] {
        parse_arguments("run", {}, 1, args, nargs, kwnames, nullptr);
        call_method(super_of(cls, self), "run"_id);

        Ref static_src = joined(attr(path(global("__file__"_id).get()), "parent"_id), "static"_id);
        Ref static_dst = joined(path(attr(self, "build_lib"_id).get()), "static"_id);
        if (truthy(call_method(static_src, "is_dir"_id))) {
            // A previous run's copy would make copytree fail.
            if (truthy(call_method(static_dst, "exists"_id)))
                call(attr(global("shutil"_id), "rmtree"_id), static_dst);
            call(attr(global("shutil"_id), "copytree"_id), Ref::steal(PyObject_Str(static_src.get())),
                 Ref::steal(PyObject_Str(static_dst.get())));
            print(text({"  [build_py] Copied static/ -> "_id, static_dst.get()}).get());
        }

        // Top-level modules are not listed by find_package_modules, so a
        // compiled one's copied source is removed afterwards.
        Ref names = global("_compiled_module_names"_id);
        if (!truthy(names)) return;
        Ref build_dir = path(attr(self, "build_lib"_id).get());
        Ref it = Ref::steal(PyObject_GetIter(names.get()));
        while (PyObject *raw_name = PyIter_Next(it.get())) {
            Ref name = Ref::adopt(raw_name);
            if (contains(name.get(), "."_id)) continue;
            Ref py_file = joined(build_dir, Ref::steal(PyNumber_Add(name.get(), ".py"_id)).get());
            if (truthy(call_method(py_file, "exists"_id))) {
                call_method(py_file, "unlink"_id);
                print(text({"  [build_py] Removed compiled source: "_id, attr(py_file, "name"_id).get()}).get());
            }
        }
        if (PyErr_Occurred()) fail();
    });
}

PyObject *find_package_modules(PyObject *self, PyTypeObject *cls, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) {
    return boundary(find_site, [&] {
        PyObject *params[2];
        parse_arguments("find_package_modules", {"package"_id, "package_dir"_id}, 1, args, nargs, kwnames,
                        params);
        Ref modules = call_method(super_of(cls, self), "find_package_modules"_id, params[0], params[1]);
        if (!truthy(global("_compiled_module_names"_id))) return modules;

        // Compiled package modules never reach the build directory.
        Ref filtered = list();
        Ref it = Ref::steal(PyObject_GetIter(modules.get()));
        while (PyObject *raw_item = PyIter_Next(it.get())) {
            Ref item = Ref::adopt(raw_item);
            auto [pkg, mod, file] = unpack3(item.get());
            Ref full_name = truthy(pkg) ? text({pkg.get(), "."_id, mod.get()}) : mod;
            if (contains(global("_compiled_module_names"_id).get(), full_name.get())) continue;
            append(filtered.get(), Ref::steal(PyTuple_Pack(3, pkg.get(), mod.get(), file.get())).get());
        }
        if (PyErr_Occurred()) fail();
        return filtered;
    });
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS, "_zetadesk_build_py.run(self)"},
    {"find_package_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(find_package_modules)),
     METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     "_zetadesk_build_py.find_package_modules(self, package, package_dir)"},
    {nullptr, nullptr, 0, nullptr},
};

const char class_doc[] =
    "Custom build_py that:\n"
    "    1. Copies the static/ directory into the build lib (so it ships in the wheel)\n"
    "    2. Removes compiled .py files from the wheel (only .so/.pyd binaries ship)\n"
    "    ";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char *>(class_doc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    .name = "zetadesk_setup._zetadesk_build_py",
    .basicsize = 0,  // the base's layout: instance dict and all
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = slots,
};

}  // namespace

Ref make_build_py_class(PyObject *base) { return new_type(&spec, base); }

}  // namespace zsetup
