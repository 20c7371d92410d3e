// The module frame shared by ZetaDesk's native modules.
//
// Each module links this frame and defines `mf::this_module` plus its
// `PyInit_<short name>` (which returns `mf::definition()`).  The frame owns
// multi-phase initialisation, the module namespace, call-time name lookup,
// error propagation and traceback entries, so module code only says what
// the equivalent Python source would say.
//
// Errors: every CPython call that fails leaves a pending Python exception;
// the frame turns that into one C++ exception (`mf::PyError`), which unwinds
// to the function boundary (`mf::boundary`).  The boundary adds the
// function's traceback entry and hands NULL back to the interpreter with
// the exception still pending.  Module code therefore never checks return
// values and never calls Py_DECREF itself: `mf::Ref` owns references.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace mf {

// A Python exception is pending in the current thread state.
struct PyError {};

// Throws PyError; the Python exception must already be set.
[[noreturn]] void fail();

// Sets a Python exception and throws PyError.
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise_format(PyObject *type, const char *format, ...);
// OSError (or the subclass for `err`) for the errno value `err` and the
// file name object, as open() raises it.
[[noreturn]] void raise_errno(int err, PyObject *filename);

// An owning (strong) reference.  Construction from a NULL result throws.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject *o) {
        if (!o) fail();
        return Ref(o);
    }
    static Ref borrow(PyObject *o) {
        if (!o) fail();
        return Ref(Py_NewRef(o));
    }
    // Takes `o` as it is, NULL included (for optional results).
    static Ref adopt(PyObject *o) noexcept { return Ref(o); }

    Ref(const Ref &other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref &operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

inline PyObject *raw(PyObject *o) noexcept { return o; }
inline PyObject *raw(const Ref &r) noexcept { return r.get(); }
template <class T>
concept Object = requires(const T &t) { { raw(t) } -> std::same_as<PyObject *>; };

// ---- interned identifiers: "name"_id ---------------------------------------

template <std::size_t N>
struct Literal {
    char text[N];
    constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

PyObject *intern(const char *text);  // immortal, never NULL (throws)

template <Literal L>
PyObject *operator""_id() {
    static PyObject *const name = intern(L.text);
    return name;
}

// ---- values -----------------------------------------------------------------

Ref str(std::string_view utf8);
Ref integer(long long v);
Ref boolean(bool v);
inline Ref none() { return Ref::borrow(Py_None); }
inline bool truthy(PyObject *o) {
    int r = PyObject_IsTrue(o);
    if (r < 0) fail();
    return r;
}
inline bool truthy(const Ref &o) { return truthy(o.get()); }
// The `==` / `!=` of Python.
bool equal(PyObject *a, PyObject *b);
// UTF-8 view of a str object (valid while `s` lives).
std::string_view utf8(PyObject *s);

// A dict built key by key in the given order, as a Python display does.
struct Item {
    PyObject *key;
    PyObject *value;
};
Ref dict(std::initializer_list<Item> items);
void set_item(PyObject *mapping, PyObject *key, PyObject *value);
Ref list(std::initializer_list<PyObject *> items = {});
void append(PyObject *list, PyObject *item);

// ---- attribute access and calls -------------------------------------------

inline Ref attr(PyObject *o, PyObject *name) { return Ref::steal(PyObject_GetAttr(o, name)); }
inline Ref attr(const Ref &o, PyObject *name) { return attr(o.get(), name); }
// `getattr(o, name, None)`: an empty Ref when `o` has no such attribute.
Ref optional_attr(PyObject *o, PyObject *name);
inline Ref optional_attr(const Ref &o, PyObject *name) { return optional_attr(o.get(), name); }
inline void set_attr(PyObject *o, PyObject *name, PyObject *v) {
    if (PyObject_SetAttr(o, name, v) < 0) fail();
}

template <Object... A>
Ref call(PyObject *callable, const A &...args) {
    PyObject *argv[] = {nullptr, raw(args)...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <Object... A>
Ref call(const Ref &callable, const A &...args) { return call(callable.get(), args...); }

// obj.name(*args)
template <Object... A>
Ref call_method(PyObject *obj, PyObject *name, const A &...args) {
    PyObject *argv[] = {obj, raw(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <Object... A>
Ref call_method(const Ref &obj, PyObject *name, const A &...args) {
    return call_method(obj.get(), name, args...);
}

// callable(*positional, **keywords) with keywords in the order given.
Ref call_kw(PyObject *callable, std::initializer_list<PyObject *> positional,
            std::initializer_list<Item> keywords);
inline Ref call_kw(const Ref &callable, std::initializer_list<PyObject *> positional,
                   std::initializer_list<Item> keywords) {
    return call_kw(callable.get(), positional, keywords);
}

// `with cm:` (or `with cm as value:` for a body taking `const Ref &value`)
// around `body`; the exit sees the body's exception, if any, and may
// suppress it as Python's with statement allows.
template <class F>
void with(PyObject *cm, F &&body);

// ---- module namespace ------------------------------------------------------

struct ModuleInfo {
    const char *short_name;   // in the module definition, e.g. "opsdeck"
    const char *full_name;    // e.g. "routes.opsdeck"
    const char *source_path;  // file name of traceback entries, e.g. "routes/opsdeck"
    const char *doc;          // module __doc__
    void (*body)();           // the module body, run by the exec step
};
extern const ModuleInfo this_module;  // defined by each module

// The module definition (no method table, state size 0, create + exec slots).
PyModuleDef *definition();

// The adopted module object and its namespace (NULL before adoption).
PyObject *module();
PyObject *namespace_dict();

// Call-time lookup of a module global, then of a builtin: NameError if neither.
Ref global(PyObject *name);
void set_global(PyObject *name, PyObject *value);
inline void set_global(PyObject *name, const Ref &value) { set_global(name, value.get()); }

// `import name` (as an expression; `bind_import` also binds it).
Ref import_module(PyObject *name);
void bind_import(PyObject *name);

// `from module import a, b`: the values in order; ImportError
// "cannot import name %S" for a name the module lacks.
template <std::same_as<PyObject *>... N>
std::array<Ref, sizeof...(N)> import_from(PyObject *module_name, N... names);
// The same for n names, storing the values into out[0..n).
void import_names(PyObject *module_name, PyObject *const *names, std::size_t n, Ref *out);
// The same as a module-level statement: binds each name in the namespace.
void bind_from(PyObject *module_name, std::initializer_list<PyObject *> names);
// `getattr(module, name, None)` after `import module`, for a name a host
// may or may not offer: an empty Ref when the module lacks it.
Ref import_optional(PyObject *module_name, PyObject *name);

// A function object for `def`: module-level (self = the module) or nested
// (self = the closure object it works on).
Ref function(PyMethodDef *def);
Ref function(PyMethodDef *def, PyObject *self);

// A class statement for a native class: a heap type made from `spec` in this
// module (PyType_GetModule of it is the module; its methods get the type as
// their defining class), with `bases` (a class or a tuple of classes, NULL for
// object), which may be Python classes.
Ref new_type(PyType_Spec *spec, PyObject *bases = nullptr);

// ---- exceptions ---------------------------------------------------------

// Whether the pending exception belongs to the Exception family.
bool pending_is_ordinary();

// `try: body() except Exception as e: ...`: runs `body`; returns the caught
// exception (the guard caught it) or an empty Ref (no exception).  Anything
// outside the Exception family (KeyboardInterrupt, SystemExit,
// GeneratorExit) keeps unwinding.
template <class F>
Ref catch_ordinary(F &&body) {
    try {
        body();
        return Ref();
    } catch (const PyError &) {
        if (!pending_is_ordinary()) throw;
        return Ref::steal(PyErr_GetRaisedException());
    }
}

// Runs `body` with the pending exception set aside and puts it back after:
// the error already raised is the one to report, so whatever `body` raises
// is dropped.
template <class F>
void keeping_pending_error(F &&body) noexcept {
    PyObject *pending = PyErr_GetRaisedException();
    try {
        body();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(pending);
}

// Holds a PyMutex for a scope.  PyMutex_Lock detaches the thread state while
// it waits, so a waiting thread never holds the interpreter.
class Locked {
public:
    explicit Locked(PyMutex &m) : m_(m) { PyMutex_Lock(&m_); }
    ~Locked() { PyMutex_Unlock(&m_); }
    Locked(const Locked &) = delete;
    Locked &operator=(const Locked &) = delete;

private:
    PyMutex &m_;
};

// ---- native shortcuts ---------------------------------------------------------
//
// Where a function reads a file or formats a value natively instead of
// calling the Python objects its steps name (open, os.path.getsize,
// json.dumps ...), the shortcut may run only while those names still lead to
// the objects they led to when the module body ran: a program that replaces
// one of them (a policy wrapper around open, a frozen clock) must see its
// replacement called.  Built with ZETADESK_PORTABLE, the shortcuts are
// compiled out and every call goes through the Python objects.

#ifndef ZETADESK_PORTABLE
#define ZETADESK_PORTABLE 0
#endif
// The shortcuts read files, sockets and the clock with POSIX calls (open,
// pread, fstat, stat, poll, recv, clock_gettime, gmtime_r).  Windows has
// none of them: there every view takes the Python path, as in a portable
// build.  macOS and Android have them all.
#if defined(_WIN32) && !ZETADESK_PORTABLE
#undef ZETADESK_PORTABLE
#define ZETADESK_PORTABLE 1
#endif
inline constexpr bool native_shortcuts = !ZETADESK_PORTABLE;

// A dotted name as the code spells it ("os.path.getsize": the global `os`,
// looked up as every global is, then its attributes) and the object it named
// at module initialisation, taken from `origin` (a module, then attributes:
// "os.path.getsize", "io.open").
class Original {
public:
    constexpr Original(const char *name, const char *origin) noexcept : name_(name), origin_(origin) {}
    Original(const Original &) = delete;
    Original &operator=(const Original &) = delete;

    // Records the original; called by the module body after its imports.
    void capture();
    // Whether the name, looked up now, still leads to the original.  An
    // ordinary error of the lookup counts as "replaced": the Python path
    // then looks the name up again and meets the error itself.
    bool holds();

private:
    const char *name_;
    const char *origin_;
    std::array<PyObject *, 4> parts_{};  // interned parts of name_
    std::size_t nparts_ = 0;
    PyObject *value_ = nullptr;
};

// ---- traceback entries and function boundaries ----------------------------

// One traceback location: the function's dotted path inside the module
// (e.g. "server_logs_stream.generate") and a line number.
struct Site {
    const char *path;
    int line;
    PyObject *code = nullptr;  // cached empty code object
};

// Adds the traceback entry "<full module name>.<path>" for the pending exception.
void add_traceback(Site &site) noexcept;

// Turns C++ exceptions back into a pending Python exception.
void translate_current_exception() noexcept;

// Runs a function body at the C boundary: the body returns a Ref (or void,
// meaning None); any failure leaves with the traceback entry of `site`.
template <class F>
PyObject *boundary(Site &site, F &&body) noexcept {
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
            return Py_NewRef(Py_None);
        } else {
            Ref result = body();
            if (!result && !PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "native function returned no value");
            if (result) return result.release();
        }
    } catch (...) {
        translate_current_exception();
    }
    add_traceback(site);
    return nullptr;
}

// ---- template definitions -----------------------------------------------

template <std::same_as<PyObject *>... N>
std::array<Ref, sizeof...(N)> import_from(PyObject *module_name, N... names) {
    PyObject *const list[] = {names...};
    std::array<Ref, sizeof...(N)> out;
    import_names(module_name, list, sizeof...(N), out.data());
    return out;
}

template <class F>
void with(PyObject *cm, F &&body) {
    Ref type = Ref::steal(PyObject_Type(cm));
    Ref exit = attr(type, "__exit__"_id);
    Ref entered = call(attr(type, "__enter__"_id), cm);
    try {
        if constexpr (std::is_invocable_v<F, const Ref &>)
            body(entered);
        else
            body();
    } catch (...) {
        translate_current_exception();
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        PyObject *tb = PyException_GetTraceback(exc.get());
        Ref traceback = tb ? Ref::adopt(tb) : none();
        Ref exc_type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())));
        if (truthy(call(exit, cm, exc_type, exc, traceback))) return;
        PyErr_SetRaisedException(exc.release());
        throw PyError{};
    }
    call(exit, cm, none(), none(), none());
}

}  // namespace mf
