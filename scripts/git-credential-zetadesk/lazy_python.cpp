// See lazy_python.h.
#define ZETADESK_LAZY_PYTHON_IMPL
#include "lazy_python.h"

#include <cstdio>

#if defined(_WIN32)

// Windows links python3XY.dll at build time; every name is the real one.
namespace lazy_python {
bool load(const char *) { return true; }
}  // namespace lazy_python

#else

#include <dlfcn.h>

#ifndef PYTHON_LIBRARY
#error "PYTHON_LIBRARY must name libpython's soname"
#endif
#ifndef PYTHON_LIBDIR
#error "PYTHON_LIBDIR must name the directory libpython was found in at build time"
#endif

namespace lazy_python {

Api api;

bool load(const char *argv0) {
    // Global: extension modules (ours among them) resolve the C API from
    // the process, not from a library they link.  The soname first, so the
    // loader searches as it would for a linked library.
    void *lib = dlopen(PYTHON_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (!lib) lib = dlopen(PYTHON_LIBDIR "/" PYTHON_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (!lib) {
        std::fprintf(stderr, "%s: cannot load %s: %s\n", argv0, PYTHON_LIBRARY, dlerror());
        return false;
    }
#define ZETADESK_LAZY_PYTHON_RESOLVE(name)                                                 \
    api.name = reinterpret_cast<decltype(api.name)>(dlsym(lib, #name));                   \
    if (!api.name) {                                                                      \
        std::fprintf(stderr, "%s: %s has no %s\n", argv0, PYTHON_LIBRARY, #name);         \
        return false;                                                                     \
    }
    ZETADESK_LAZY_PYTHON_API(ZETADESK_LAZY_PYTHON_RESOLVE)
#undef ZETADESK_LAZY_PYTHON_RESOLVE
    return true;
}

}  // namespace lazy_python

#endif
