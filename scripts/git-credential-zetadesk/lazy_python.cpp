// See lazy_python.h.
#define ZETADESK_LAZY_PYTHON_IMPL
#include "lazy_python.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace lazy_python {

Api api;

namespace {

#if defined(_WIN32)
using Library = HMODULE;

Library open_library(const char *path) {
    wchar_t wide[32768];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 32768) <= 0) return nullptr;
    // LoadLibraryExW wants backslashes; the path was put together with '/'.
    for (wchar_t *p = wide; *p; ++p)
        if (*p == L'/') *p = L'\\';
    // The DLL by its full path; its own dependencies (the C runtime beside
    // it) from its directory and the system's, never the current directory
    // or PATH.
    return LoadLibraryExW(wide, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

void *symbol(Library lib, const char *name) { return reinterpret_cast<void *>(GetProcAddress(lib, name)); }

void close_library(Library lib) { FreeLibrary(lib); }
#else
using Library = void *;

// Global: extension modules (ours among them) resolve the C API from the
// process, not from a library they link.
Library open_library(const char *path) { return dlopen(path, RTLD_NOW | RTLD_GLOBAL); }

void *symbol(Library lib, const char *name) { return dlsym(lib, name); }

void close_library(Library lib) { dlclose(lib); }
#endif

bool is_absolute(const char *path) {
#if defined(_WIN32)
    return path[0] && path[1] == ':' && (path[2] == '/' || path[2] == '\\');
#else
    return path[0] == '/';
#endif
}

}  // namespace

bool load(const char *path) {
    if (!is_absolute(path)) return false;
    Library lib = open_library(path);
    if (!lib) return false;
#define ZETADESK_LAZY_PYTHON_RESOLVE(name)                                   \
    api.name = reinterpret_cast<decltype(api.name)>(symbol(lib, #name));    \
    if (!api.name) {                                                        \
        close_library(lib);                                                 \
        return false;                                                       \
    }
    ZETADESK_LAZY_PYTHON_API(ZETADESK_LAZY_PYTHON_RESOLVE)
#undef ZETADESK_LAZY_PYTHON_RESOLVE
    return true;
}

}  // namespace lazy_python
