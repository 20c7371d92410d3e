// Where this program's own file is.  Linux (and so Termux) has the kernel's
// /proc/self/exe; macOS and Windows have no /proc and ask the loader.
#include "own_path.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__APPLE__)
#include <limits.h>
#include <mach-o/dyld.h>
#include <stdlib.h>
#elif defined(__linux__)
#include <unistd.h>
#else
#error "own_executable() has no implementation for this platform"
#endif

#if defined(_WIN32)

bool own_executable(char *out, std::size_t size) {
    // GetModuleFileNameW truncates silently: a full buffer means "too long".
    wchar_t wide[32768];
    const DWORD n = GetModuleFileNameW(nullptr, wide, DWORD(sizeof wide / sizeof wide[0]));
    if (n == 0 || n >= sizeof wide / sizeof wide[0]) {
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, int(n), out,
                                          int(size > INT32_MAX ? INT32_MAX : size - 1), nullptr, nullptr);
    if (bytes <= 0) {
        errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EILSEQ;
        return false;
    }
    out[bytes] = '\0';
    // The caller joins with '/', which Windows accepts as a separator too.
    for (char *p = out; *p; ++p)
        if (*p == '\\') *p = '/';
    return true;
}

#elif defined(__APPLE__)

bool own_executable(char *out, std::size_t size) {
    // The path the program was started by, which may be a symbolic link
    // (a PATH entry pointing into the checkout): resolve it like
    // /proc/self/exe would.
    char started[PATH_MAX];
    uint32_t length = sizeof started;
    if (_NSGetExecutablePath(started, &length) != 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    char resolved[PATH_MAX];
    if (!realpath(started, resolved)) return false;
    const std::size_t n = std::strlen(resolved);
    if (n >= size) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(out, resolved, n + 1);
    return true;
}

#else

bool own_executable(char *out, std::size_t size) {
    if (size < 2) {
        errno = ENAMETOOLONG;
        return false;
    }
    const ssize_t n = readlink("/proc/self/exe", out, size - 1);
    if (n <= 0) return false;
    if (std::size_t(n) == size - 1) {  // possibly truncated
        errno = ENAMETOOLONG;
        return false;
    }
    out[n] = '\0';
    return true;
}

#endif
