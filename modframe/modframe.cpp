// Multi-phase initialisation, namespace, name lookup and traceback entries.
// Linked statically into each module, so every static here is per module.
#include "modframe.h"

#include <frameobject.h>

#include <cerrno>
#include <cstdarg>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace mf {

namespace {

// The interpreter that first created this module; a module object holds
// borrowed interned strings and cached code objects of that interpreter.
int64_t first_interpreter = -1;
// The adopted module object (strong) and its namespace (borrowed from it).
PyObject *adopted = nullptr;
PyObject *ns = nullptr;

}  // namespace

void fail() { throw PyError{}; }

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

void raise_format(PyObject *type, const char *format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    throw PyError{};
}

void raise_errno(int err, PyObject *filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    throw PyError{};
}

PyObject *intern(const char *text) { return Ref::steal(PyUnicode_InternFromString(text)).release(); }

Ref str(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
Ref integer(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

bool equal(PyObject *a, PyObject *b) {
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) fail();
    return r;
}

std::string_view utf8(PyObject *s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) fail();
    return {p, static_cast<std::size_t>(n)};
}

Ref dict(std::initializer_list<Item> items) {
    Ref d = Ref::steal(PyDict_New());
    for (const Item &it : items) set_item(d.get(), it.key, it.value);
    return d;
}

void set_item(PyObject *mapping, PyObject *key, PyObject *value) {
    if (!value) fail();
    if (PyObject_SetItem(mapping, key, value) < 0) fail();
}

Ref list(std::initializer_list<PyObject *> items) {
    Ref l = Ref::steal(PyList_New(0));
    for (PyObject *o : items) append(l.get(), o);
    return l;
}

void append(PyObject *l, PyObject *item) {
    if (PyList_Append(l, item) < 0) fail();
}

Ref call_kw(PyObject *callable, std::initializer_list<PyObject *> positional,
            std::initializer_list<Item> keywords) {
    const std::size_t np = positional.size(), nk = keywords.size();
    PyObject *small[24];
    if (np + nk + 1 > std::size(small)) raise(PyExc_SystemError, "too many call arguments");
    PyObject **argv = small + 1;
    std::size_t i = 0;
    for (PyObject *o : positional) argv[i++] = o;
    Ref kwnames;
    if (nk) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(nk)));
        Py_ssize_t k = 0;
        for (const Item &it : keywords) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(it.key));
            argv[i++] = it.value;
        }
    }
    for (std::size_t j = 0; j < np + nk; ++j)
        if (!argv[j]) fail();
    return Ref::steal(PyObject_Vectorcall(callable, argv, np | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          kwnames.get()));
}

// ---- namespace ----------------------------------------------------------

PyObject *module() { return adopted; }
PyObject *namespace_dict() { return ns; }

Ref global(PyObject *name) {
    PyObject *value = nullptr;
    if (ns) {
        if (PyDict_GetItemRef(ns, name, &value) < 0) fail();
        if (value) return Ref::adopt(value);
    }
    if (PyDict_GetItemRef(PyEval_GetBuiltins(), name, &value) < 0) fail();
    if (value) return Ref::adopt(value);
    raise_format(PyExc_NameError, "name '%U' is not defined", name);
}

void set_global(PyObject *name, PyObject *value) {
    if (!ns) raise(PyExc_SystemError, "module namespace is not set up");
    set_item(ns, name, value);
}

Ref import_module(PyObject *name) {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, ns, nullptr, nullptr, 0));
}

void bind_import(PyObject *name) { set_global(name, import_module(name)); }

void import_names(PyObject *module_name, PyObject *const *names, std::size_t n, Ref *out) {
    // A tuple, as the compiler passes for a from-import statement.
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
    Ref mod = Ref::steal(PyImport_ImportModuleLevelObject(module_name, ns, nullptr, fromlist.get(), 0));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *name = names[i];
        PyObject *value = nullptr;
        if (PyObject_GetOptionalAttr(mod.get(), name, &value) < 0) fail();
        if (!value) {
            // A submodule imported by the fromlist but not bound as an attribute.
            Ref mod_name = attr(mod, "__name__"_id);
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", mod_name.get(), name));
            if (PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value) < 0) fail();
            if (!value) raise_format(PyExc_ImportError, "cannot import name %S", name);
        }
        out[i] = Ref::adopt(value);
    }
}

void bind_from(PyObject *module_name, std::initializer_list<PyObject *> names) {
    std::vector<Ref> values(names.size());
    import_names(module_name, names.begin(), names.size(), values.data());
    std::size_t i = 0;
    for (PyObject *n : names) set_global(n, values[i++]);
}

Ref optional_attr(PyObject *o, PyObject *name) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(o, name, &value) < 0) fail();
    return Ref::adopt(value);
}

Ref import_optional(PyObject *module_name, PyObject *name) { return optional_attr(import_module(module_name), name); }

Ref function(PyMethodDef *def) { return function(def, adopted); }

Ref function(PyMethodDef *def, PyObject *self) {
    Ref module_name = str(this_module.full_name);
    return Ref::steal(PyCFunction_NewEx(def, self, module_name.get()));
}

Ref new_type(PyType_Spec *spec, PyObject *bases) {
    if (!adopted) raise(PyExc_SystemError, "module object is not set up");
    return Ref::steal(PyType_FromModuleAndSpec(adopted, spec, bases));
}

// ---- native shortcuts ---------------------------------------------------------

namespace {

// The parts of a dotted name (at most parts.size()).
std::size_t split_dotted(const char *dotted, std::array<Ref, 4> &parts) {
    std::size_t count = 0;
    std::string_view rest(dotted);
    while (!rest.empty()) {
        const std::size_t dot = std::min(rest.find('.'), rest.size());
        if (count == parts.size()) raise(PyExc_SystemError, "dotted name too long");
        parts[count++] = Ref::steal(PyUnicode_InternFromString(std::string(rest.substr(0, dot)).c_str()));
        rest.remove_prefix(std::min(dot + 1, rest.size()));
    }
    return count;
}

}  // namespace

void Original::capture() {
    if constexpr (!native_shortcuts) return;
    if (!nparts_) {
        std::array<Ref, 4> parts;
        const std::size_t n = split_dotted(name_, parts);
        for (std::size_t i = 0; i < n; ++i) parts_[i] = parts[i].release();
        nparts_ = n;
    }
    std::array<Ref, 4> from;
    const std::size_t n = split_dotted(origin_, from);
    Ref value = import_module(from[0].get());
    for (std::size_t i = 1; i < n; ++i) value = attr(value, from[i].get());
    // Kept for the life of the process, as the module itself is.
    Py_XSETREF(value_, value.release());
}

bool Original::holds() {
    if constexpr (!native_shortcuts) return false;
    if (!value_) return false;
    Ref found;
    if (catch_ordinary([&] {
            found = global(parts_[0]);
            for (std::size_t i = 1; i < nparts_; ++i) found = attr(found, parts_[i]);
        }))
        return false;
    return found.get() == value_;
}

// ---- exceptions and traceback entries -----------------------------------

bool pending_is_ordinary() { return PyErr_ExceptionMatches(PyExc_Exception); }

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

namespace {

void add_traceback_entry(PyObject **code_cache, const char *funcname, int line) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (!*code_cache) *code_cache = reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(this_module.source_path, funcname, line));
    PyObject *globals = ns ? Py_NewRef(ns) : PyDict_New();
    PyFrameObject *frame = nullptr;
    if (*code_cache && globals)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(*code_cache),
                            globals, nullptr);
    Py_XDECREF(globals);
    if (!frame) {
        // Keep the original exception; the entry is lost, not the error.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace

void add_traceback(Site &site) noexcept {
    if (!site.code) {
        PyObject *name = PyUnicode_FromFormat("%s.%s", this_module.full_name, site.path);
        if (!name) return;
        const char *text = PyUnicode_AsUTF8(name);
        if (text) add_traceback_entry(&site.code, text, site.line);
        Py_DECREF(name);
        return;
    }
    add_traceback_entry(&site.code, nullptr, site.line);
}

// ---- create and exec steps ------------------------------------------------

namespace {

PyObject *create(PyObject *spec, PyModuleDef *) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    if (first_interpreter == -1) {
        first_interpreter = id;
    } else if (id != first_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (adopted) return Py_NewRef(adopted);
    try {
        Ref name = attr(spec, "name"_id);
        Ref mod = Ref::steal(PyModule_NewObject(name.get()));
        PyObject *mod_dict = PyModule_GetDict(mod.get());
        struct {
            PyObject *from, *to;
            bool none_allowed;
        } const copies[] = {
            {"loader"_id, "__loader__"_id, true},
            {"origin"_id, "__file__"_id, true},
            {"parent"_id, "__package__"_id, true},
            {"submodule_search_locations"_id, "__path__"_id, false},
        };
        for (const auto &c : copies) {
            PyObject *value = nullptr;
            if (PyObject_GetOptionalAttr(spec, c.from, &value) < 0) fail();
            Ref v = Ref::adopt(value);
            if (!v || (!c.none_allowed && v.get() == Py_None)) continue;
            set_item(mod_dict, c.to, v.get());
        }
        return mod.release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

int exec(PyObject *mod) {
    if (adopted) {
        if (adopted == mod) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     this_module.short_name);
        return -1;
    }
    adopted = Py_NewRef(mod);
    ns = PyModule_GetDict(mod);
    PyObject *init_code = nullptr;
    try {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        set_item(ns, "__builtins__"_id, builtins.get());

        const int major = static_cast<int>((Py_Version >> 24) & 0xff);
        const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
        if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
            if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                 "compile time Python version %d.%d of module '%.100s' %s "
                                 "runtime version %d.%d",
                                 PY_MAJOR_VERSION, PY_MINOR_VERSION, this_module.full_name,
                                 "does not match", major, minor) < 0)
                fail();
        }

        PyObject *modules = PyImport_GetModuleDict();
        int has = PyDict_ContainsString(modules, this_module.full_name);
        if (has < 0) fail();
        if (!has && PyDict_SetItemString(modules, this_module.full_name, mod) < 0) fail();

        this_module.body();
        return 0;
    } catch (...) {
        translate_current_exception();
    }
    PyObject *funcname = PyUnicode_FromFormat("init %s", this_module.full_name);
    if (funcname) {
        if (const char *text = PyUnicode_AsUTF8(funcname)) add_traceback_entry(&init_code, text, 1);
        Py_DECREF(funcname);
    }
    Py_XDECREF(init_code);
    ns = nullptr;
    Py_CLEAR(adopted);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

}  // namespace

PyModuleDef *definition() {
    static PyModuleDef def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = this_module.short_name,
        .m_doc = this_module.doc,
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
    return &def;
}

}  // namespace mf
