// Which modules of the application tree get compiled, and compiling them
// one by one so that a single bad module cannot stop the build.
#include "setup.h"

#include <vector>

namespace zsetup {

void parse_arguments(const char *function, std::initializer_list<PyObject *> names, int counted,
                     PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject **out) {
    const Py_ssize_t wanted = static_cast<Py_ssize_t>(names.size());
    auto count_error = [&] {
        const Py_ssize_t total = wanted + counted;
        raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                     function, "exactly", total, total == 1 ? "" : "s", nargs + counted);
    };
    if (nargs > wanted) count_error();
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t i = 0;
    for (PyObject *name : names) {
        out[i] = nullptr;
        if (i < nargs) {
            out[i] = args[i];
        } else {
            for (Py_ssize_t k = 0; k < nkw; ++k)
                if (equal(PyTuple_GET_ITEM(kwnames, k), name)) out[i] = args[nargs + k];
            if (!out[i]) count_error();
        }
        ++i;
    }
    // Every keyword must name a parameter that did not come by position.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        bool known = false;
        for (PyObject *name : names) {
            if (equal(key, name)) {
                known = true;
                break;
            }
            ++index;
        }
        if (!known)
            raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        if (index < nargs)
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         function, key);
    }
}

Ref text(std::initializer_list<PyObject *> parts) {
    Ref pieces = list();
    Ref empty = str("");
    for (PyObject *part : parts) append(pieces.get(), Ref::steal(PyObject_Format(part, empty.get())).get());
    return Ref::steal(PyUnicode_Join(empty.get(), pieces.get()));
}

void print(PyObject *message) { call(global("print"_id), message); }

void print_partial(PyObject *message) {
    call_kw(global("print"_id), {message}, {{"end"_id, " "_id}, {"flush"_id, Py_True}});
}

namespace {

// A predicate's only argument: exactly a str, by position or by name.
PyObject *str_argument(const char *function, const char *param, PyObject *param_id,
                       PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *value = nullptr;
    parse_arguments(function, {param_id}, 0, args, nargs, kwnames, &value);
    if (!PyUnicode_CheckExact(value))
        raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     param, "str", Py_TYPE(value)->tp_name);
    return value;
}

bool ends_with(PyObject *s, PyObject *suffix) {
    Py_ssize_t r = PyUnicode_Tailmatch(s, suffix, 0, PY_SSIZE_T_MAX, +1);
    if (r < 0) fail();
    return r;
}

bool starts_with(PyObject *s, PyObject *prefix) {
    Py_ssize_t r = PyUnicode_Tailmatch(s, prefix, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) fail();
    return r;
}

bool contains(PyObject *container, PyObject *item) {
    int r = PySequence_Contains(container, item);
    if (r < 0) fail();
    return r;
}

// for item in iterable: if body(item): return True
template <class F>
bool any_of(PyObject *iterable, F &&body) {
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    while (PyObject *raw_item = PyIter_Next(it.get())) {
        Ref item = Ref::adopt(raw_item);
        if (body(item.get())) return true;
    }
    if (PyErr_Occurred()) fail();
    return false;
}

bool fnmatch(PyObject *name, PyObject *pattern) {
    return truthy(call(attr(global("fnmatch"_id), "fnmatch"_id), name, pattern));
}

Ref basename(PyObject *path) {
    return call(attr(attr(global("os"_id), "path"_id), "basename"_id), path);
}

Ref with_sep_replaced(PyObject *s, PyObject *from, PyObject *to) {
    return call_method(s, "replace"_id, from, to);
}

Site exclude_dir_site{"_should_exclude_dir", __LINE__};
Site exclude_file_site{"_should_exclude_file", __LINE__};
Site keep_site{"_should_keep_as_py", __LINE__};
Site extensions_site{"_get_cython_extensions", __LINE__};

}  // namespace

PyObject *should_exclude_dir(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary(exclude_dir_site, [&] {
        PyObject *name = str_argument("_should_exclude_dir", "name", "name"_id, args, nargs, kwnames);
        return boolean(contains(global("EXCLUDE_DIRS"_id).get(), name) ||
                       ends_with(name, ".egg-info"_id) || starts_with(name, "."_id));
    });
}

PyObject *should_exclude_file(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary(exclude_file_site, [&] {
        PyObject *name = str_argument("_should_exclude_file", "name", "name"_id, args, nargs, kwnames);
        return boolean(any_of(global("EXCLUDE_FILES"_id).get(),
                              [&](PyObject *pat) { return fnmatch(name, pat); }));
    });
}

PyObject *should_keep_as_py(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return boundary(keep_site, [&] {
        PyObject *rel_path =
            str_argument("_should_keep_as_py", "rel_path", "rel_path"_id, args, nargs, kwnames);
        Ref sep = attr(global("os"_id), "sep"_id);
        Ref norm = with_sep_replaced(rel_path, sep.get(), "/"_id);
        if (equal(basename(rel_path).get(), "__init__.py"_id)) return boolean(true);
        bool keep = any_of(global("KEEP_AS_PY"_id).get(), [&](PyObject *name) {
            if (equal(norm.get(), name)) return true;
            Ref suffix = Ref::steal(PyNumber_Add("/"_id, name));
            if (ends_with(norm.get(), suffix.get())) return true;
            return equal(basename(rel_path).get(), name);
        });
        if (keep) return boolean(true);
        return boolean(any_of(global("KEEP_AS_PY_PATTERNS"_id).get(),
                              [&](PyObject *pat) { return fnmatch(norm.get(), pat); }));
    });
}

namespace {

struct Candidate {
    Ref module_name;
    Ref rel_path;
};

// The walk: every .py file below `root_dir` that is neither excluded nor
// kept as source, directory by directory, file names sorted.
std::vector<Candidate> find_candidates(PyObject *root_dir) {
    std::vector<Candidate> candidates;
    Ref os = global("os"_id);
    Ref walk = Ref::steal(PyObject_GetIter(call(attr(os, "walk"_id), root_dir).get()));
    while (PyObject *raw_entry = PyIter_Next(walk.get())) {
        Ref entry = Ref::adopt(raw_entry);
        Ref fast = Ref::steal(PySequence_Fast(entry.get(), "os.walk() gave no (root, dirs, files)"));
        if (PySequence_Fast_GET_SIZE(fast.get()) != 3)
            raise(PyExc_ValueError, "os.walk() gave no (root, dirs, files)");
        PyObject *root = PySequence_Fast_GET_ITEM(fast.get(), 0);
        PyObject *dirs = PySequence_Fast_GET_ITEM(fast.get(), 1);
        PyObject *files = PySequence_Fast_GET_ITEM(fast.get(), 2);

        // dirs[:] = [...]: the walk only descends into what is left here.
        Ref kept = list();
        {
            Ref exclude = global("_should_exclude_dir"_id);
            Ref it = Ref::steal(PyObject_GetIter(dirs));
            while (PyObject *raw_d = PyIter_Next(it.get())) {
                Ref d = Ref::adopt(raw_d);
                if (!truthy(call(exclude, d))) append(kept.get(), d.get());
            }
            if (PyErr_Occurred()) fail();
        }
        if (PySequence_SetSlice(dirs, 0, PY_SSIZE_T_MAX, kept.get()) < 0) fail();

        Ref names = call(global("sorted"_id), files);
        Ref it = Ref::steal(PyObject_GetIter(names.get()));
        while (PyObject *raw_f = PyIter_Next(it.get())) {
            Ref f = Ref::adopt(raw_f);
            if (!truthy(call_method(f, "endswith"_id, ".py"_id))) continue;
            if (truthy(call(global("_should_exclude_file"_id), f))) continue;
            Ref path_type = global("Path"_id);
            Ref full = Ref::steal(PyNumber_TrueDivide(call(path_type, root).get(), f.get()));
            Ref rel = Ref::steal(PyObject_Str(call_method(full, "relative_to"_id, root_dir).get()));
            if (truthy(call(global("_should_keep_as_py"_id), rel))) continue;
            Ref stem = Ref::steal(
                PyObject_Str(call_method(call(path_type, rel), "with_suffix"_id, ""_id).get()));
            Ref module_name = with_sep_replaced(stem.get(), attr(global("os"_id), "sep"_id).get(), "."_id);
            candidates.push_back({module_name, rel});
        }
        if (PyErr_Occurred()) fail();
    }
    if (PyErr_Occurred()) fail();
    return candidates;
}

}  // namespace

PyObject *get_cython_extensions(PyObject *, PyObject *) {
    return boundary(extensions_site, [&] {
        Ref cythonize = import_from("Cython.Build"_id, "cythonize"_id)[0];
        Ref root_dir = call_method(attr(call(global("Path"_id), global("__file__"_id)), "parent"_id),
                                   "resolve"_id);
        std::vector<Candidate> candidates = find_candidates(root_dir.get());
        if (candidates.empty()) return list();

        set_global("_compiled_module_names"_id, Ref::steal(PySet_New(nullptr)));
        Ref compiled_extensions = list();
        Ref failed_modules = list();
        Ref directives = dict({{"language_level"_id, "3"_id},
                               {"embedsignature"_id, Py_True},
                               {"binding"_id, Py_True},
                               {"always_allow_keywords"_id, Py_True}});
        Ref total = integer(static_cast<long long>(candidates.size()));
        long long k = 0;
        for (const Candidate &c : candidates) {
            ++k;
            const bool windows = equal(attr(global("sys"_id), "platform"_id).get(), "win32"_id);
            Ref flags = list({windows ? "/O2"_id : "-O2"_id});
            Ref sources = list({c.rel_path.get()});
            Ref ext = call_kw(global("Extension"_id), {},
                              {{"name"_id, c.module_name.get()},
                               {"sources"_id, sources.get()},
                               {"extra_compile_args"_id, flags.get()}});
            print_partial(text({"  [Cython] "_id, integer(k).get(), "/"_id, total.get(), " Compiling "_id,
                                c.module_name.get(), " ..."_id})
                              .get());
            Ref error = catch_ordinary([&] {
                Ref result = call_kw(cythonize, {list({ext.get()}).get()},
                                     {{"compiler_directives"_id, directives.get()},
                                      {"force"_id, Py_True},
                                      {"quiet"_id, Py_True}});
                if (truthy(result)) {
                    call_method(compiled_extensions, "extend"_id, result);
                    call_method(global("_compiled_module_names"_id), "add"_id, c.module_name);
                    print("OK"_id);
                } else {
                    print("SKIPPED (no output)"_id);
                    append(failed_modules.get(), c.module_name.get());
                }
            });
            if (error) {
                Ref message = Ref::steal(PyObject_Str(error.get()));
                Ref cut = Ref::steal(PyUnicode_Substring(message.get(), 0, 200));
                print(text({"FAILED ("_id, cut.get(), ")"_id}).get());
                append(failed_modules.get(), c.module_name.get());
                Ref file_name = Ref::steal(PyNumber_Add(
                    with_sep_replaced(c.module_name.get(), "."_id, attr(global("os"_id), "sep"_id).get()).get(),
                    ".py"_id));
                call_method(global("KEEP_AS_PY"_id), "add"_id, file_name);
            }
        }
        print(text({"\n  [Cython] Summary: "_id, integer(PyList_GET_SIZE(compiled_extensions.get())).get(),
                    " compiled, "_id, integer(PyList_GET_SIZE(failed_modules.get())).get(), " skipped"_id})
                  .get());
        if (PyList_GET_SIZE(failed_modules.get()) > 0)
            print(text({"  [Cython] Skipped modules (kept as .py): "_id,
                        call_method(", "_id, "join"_id, failed_modules).get()})
                      .get());
        return compiled_extensions;
    });
}

}  // namespace zsetup
