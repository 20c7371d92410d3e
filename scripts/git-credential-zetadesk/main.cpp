// git-credential-zetadesk: starts CPython and runs the helper module
// scripts.git_credential_zetadesk as the main program, the way
// `python -m` would: __name__ is "__main__" while its body runs, and
// sys.argv is exactly our command line.  The common `get` is answered
// first without the interpreter (fastpath.cpp); libpython is loaded only
// when the run is handed over (lazy_python.h), that of the installation the
// program belongs to (interpreter.h), by absolute path.  Where it has no
// loadable libpython, its interpreter runs the module instead.
//
// The module's shared object is found relative to this program's own file
// (HELPER_MODULE is the path from bin/ to it in the tree, HELPER_SITE_DIRS
// the installed site-packages), so git can start us from any working
// directory, by absolute path or through PATH and symlinks.
#include "fastpath.h"
#include "lazy_python.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "interpreter.h"
#include "own_path.h"

#ifndef HELPER_MODULE
#error "HELPER_MODULE must name the module file relative to the program's directory"
#endif
#ifndef HELPER_SITE_DIRS
#error "HELPER_SITE_DIRS must list the installed site-packages relative to the program's directory"
#endif

namespace {

constexpr const char *module_name = "scripts.git_credential_zetadesk";

using interpreter::path_max;

// realpath(): the absolute form of `path`, which must exist.
bool existing_path(const char *path, char (&out)[path_max]) {
#if defined(_WIN32)
    return _fullpath(out, path, path_max) && _access(out, 0) == 0;
#else
    return realpath(path, out) != nullptr;
#endif
}

// A closed standard descriptor would be reused by the next open() (the
// configuration file could become fd 1).  Park /dev/null there instead,
// opened the wrong way round for 0 and 1 so that reading the request or
// writing an answer still fails loudly rather than seeming to work.
void reserve_standard_fds() {
#if !defined(_WIN32)  // the Windows C runtime never hands out 0, 1 or 2 itself
    const int modes[] = {O_WRONLY, O_RDONLY, O_WRONLY};
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = open("/dev/null", modes[fd]);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
#endif
}

// Writes the module's absolute path into `out` and the program's own
// directory (with its trailing '/') into `dir`; false (with a message) when
// either cannot be found.  The module is looked for relative to this
// program's own file: first as built in the tree (bin/ beside scripts/),
// then as installed from a wheel (bin/ beside the environment's
// lib/.../site-packages/scripts/), never relative to the current folder.
bool module_path(const char *argv0, char (&out)[path_max], char (&dir)[path_max]) {
    char self[path_max];
    if (!own_executable(self, sizeof self)) {
        std::fprintf(stderr, "%s: cannot locate own executable: %s\n", argv0, std::strerror(errno));
        return false;
    }
    const int dir_len = int(std::strrchr(self, '/') - self + 1);
    std::snprintf(dir, sizeof dir, "%.*s", dir_len, self);
    char candidate[2 * path_max];
    std::snprintf(candidate, sizeof candidate, "%.*s%s", dir_len, self, HELPER_MODULE);
    if (existing_path(candidate, out)) return true;
    const int tree_errno = errno;
    // HELPER_SITE_DIRS: site-packages seen from the scripts directory, one
    // entry per installation scheme, separated by ':'.
    const char *file = std::strrchr(HELPER_MODULE, '/') + 1;
    for (const char *dir = HELPER_SITE_DIRS; *dir;) {
        const char *end = std::strchr(dir, ':');
        const int len = end ? int(end - dir) : int(std::strlen(dir));
        char installed[2 * path_max];
        std::snprintf(installed, sizeof installed, "%.*s%.*s/scripts/%s", dir_len, self, len, dir, file);
        if (existing_path(installed, out)) return true;
        dir += end ? len + 1 : len;
    }
    std::fprintf(stderr, "%s: helper module %s: %s\n", argv0, candidate, std::strerror(tree_errno));
    return false;
}

// `python`: the installation's interpreter, whose own path calculation
// then finds its standard library, a virtual environment's pyvenv.cfg
// included (sys.prefix the environment, sys.base_prefix its base).
void start_interpreter(int argc, char **argv, const char *python) {
    PyPreConfig preconfig;
    PyPreConfig_InitIsolatedConfig(&preconfig);
    preconfig.utf8_mode = 1;  // paths and the configuration file are UTF-8
    PyStatus status = Py_PreInitialize(&preconfig);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);

    PyConfig config;
    // Isolated: PYTHONPATH, PYTHONHOME and the user's site directory of
    // whoever runs git must not change what the helper imports.
    PyConfig_InitIsolatedConfig(&config);
    config.parse_argv = 0;
    config.site_import = 0;
    // SIGPIPE ignored, so a closed stdout surfaces as BrokenPipeError.
    config.install_signal_handlers = 1;
    bool ok = true;
    auto check = [&](PyStatus s) {
        if (ok && PyStatus_Exception(s)) {
            status = s;
            ok = false;
        }
    };
    check(PyConfig_SetBytesArgv(&config, argc, argv));
    check(PyConfig_SetBytesString(&config, &config.program_name, python));
    check(PyConfig_SetBytesString(&config, &config.executable, python));
    // Undecodable request bytes are an error, whatever the locale says.
    check(PyConfig_SetString(&config, &config.stdio_encoding, L"utf-8"));
    check(PyConfig_SetString(&config, &config.stdio_errors, L"strict"));
    if (ok) status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
}

// Owning reference for the few objects main needs.
struct Owned {
    PyObject *p;
    explicit Owned(PyObject *o) : p(o) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { Py_DecRef(p); }
    explicit operator bool() const { return p != nullptr; }
};

// The import system's own steps for an extension module, with __name__
// set to "__main__" between creating and executing it.
bool run_as_main(const char *path) {
    Owned imp(PyImport_ImportModule("_imp"));
    Owned bootstrap(PyImport_ImportModule("_frozen_importlib"));
    Owned external(PyImport_ImportModule("_frozen_importlib_external"));
    if (!imp || !bootstrap || !external) return false;
    Owned name(PyUnicode_FromString(module_name));
    Owned origin(PyUnicode_DecodeFSDefault(path));
    if (!name || !origin) return false;
    Owned loader(PyObject_CallMethod(external.p, "ExtensionFileLoader", "OO", name.p, origin.p));
    if (!loader) return false;
    Owned spec_type(PyObject_GetAttrString(bootstrap.p, "ModuleSpec"));
    if (!spec_type) return false;
    Owned args(Py_BuildValue("(OO)", name.p, loader.p));
    Owned kwargs(Py_BuildValue("{sO}", "origin", origin.p));
    if (!args || !kwargs) return false;
    Owned spec(PyObject_Call(spec_type.p, args.p, kwargs.p));
    if (!spec || PyObject_SetAttrString(spec.p, "has_location", Py_GetConstantBorrowed(Py_CONSTANT_TRUE)) < 0)
        return false;

    Owned module(PyObject_CallMethod(imp.p, "create_dynamic", "O", spec.p));
    if (!module) return false;
    Owned main_name(PyUnicode_FromString("__main__"));
    if (!main_name || PyObject_SetAttrString(module.p, "__name__", main_name.p) < 0 ||
        PyObject_SetAttrString(module.p, "__spec__", spec.p) < 0)
        return false;
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_SetItemString(modules, "__main__", module.p) < 0) return false;
    Owned done(PyObject_CallMethod(imp.p, "exec_dynamic", "O", module.p));
    return bool(done);
}

// sys.<stream>.flush().  The answer sits in stdout's buffer until here; a
// write failure must be reported and counted, not left to shutdown.
bool flush(const char *stream) {
    PyObject *out = PySys_GetObject(stream);  // borrowed
    if (!out || out == Py_GetConstantBorrowed(Py_CONSTANT_NONE)) return true;
    Owned done(PyObject_CallMethod(out, "flush", nullptr));
    return bool(done);
}

// atexit's count of registered handlers (-1 if it cannot tell).
long exit_handlers() {
    Owned atexit(PyImport_ImportModule("atexit"));
    Owned count(atexit ? PyObject_CallMethod(atexit.p, "_ncallbacks", nullptr) : nullptr);
    long n = count ? PyLong_AsLong(count.p) : -1;
    PyErr_Clear();
    return n;
}

void discard_stdout() {
#if defined(_WIN32)
    int devnull = _open("NUL", _O_WRONLY);
    if (devnull >= 0) {
        _dup2(devnull, 1);
        if (devnull != 1) _close(devnull);
    }
#else
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, 1);
        if (devnull != 1) close(devnull);
    }
#endif
}

}  // namespace

int main(int argc, char **argv) {
    reserve_standard_fds();
    const char *argv0 = argc > 0 ? argv[0] : "git-credential-zetadesk";
#if defined(_WIN32)
    // Whatever this process loads later is never looked for in the current
    // directory (a repository's top level) or on PATH.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
#endif
    char path[path_max], dir[path_max];
    if (!module_path(argv0, path, dir)) return 1;
    // After the module is found, so that a broken installation says so
    // whichever way the request would be answered.
    if (fastpath::answered(argc, argv)) _exit(0);
    static interpreter::Found python;
    if (!interpreter::find(dir, python, argv0)) return 1;
    // No shared library (Debian's python3.14 alone, a build without
    // --enable-shared), or one that does not load: the interpreter's own
    // program answers, exactly as the module would here.
    if (!python.library[0] || !lazy_python::load(python.library))
        return interpreter::run(python.executable, path, argc, argv, argv0);
    start_interpreter(argc, argv, python.executable);

    int status = 0;
    if (!run_as_main(path)) {
        PyErr_Print();
        status = 1;
    }
    if (!flush("stdout")) {
        PyErr_Print();
        // Whatever is left in the buffer cannot be delivered; do not try again at shutdown.
        discard_stdout();
        status = 1;
    }
    // git starts the helper for every remote operation, and tearing the
    // interpreter down (freeing every module and object) is a tenth of the
    // run.  Once both streams are flushed, no caller can tell the difference,
    // unless something registered work for exit: then shut down properly.
    if (!flush("stderr")) PyErr_Clear();
    if (exit_handlers() != 0) return Py_FinalizeEx() < 0 ? 1 : status;
    _exit(status);
}
