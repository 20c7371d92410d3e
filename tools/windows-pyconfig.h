/* Stands in for the pyconfig.h of a CPython 3.14 release installation for
 * Windows x64 (include\pyconfig.h, from PC/pyconfig.h), in tools/foreign.sh's
 * MinGW-w64 build made on Linux against the headers of Debian's python3.14.
 * It holds only what Python's public headers read; a build for users takes
 * the installation's own file.  What differs from it on purpose:
 *  - no "#pragma comment(lib, ...)" unless the compiler is MSVC (GCC would
 *    warn about an unknown pragma): the build names the import library;
 *  - no compiler or version strings (Py_GetCompiler's, built into the DLL).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !(defined(__x86_64__) || defined(_M_X64))
#error "this pyconfig.h describes CPython for Windows x64 only"
#endif

#include <io.h>      /* CPython's own includes these here */
#include <basetsd.h>
#include <limits.h>
#include <stdio.h>

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_WINVER 0x0602  /* _WIN32_WINNT_WIN8 */
#define Py_NTDDI NTDDI_WIN8

/* The interpreter is a DLL (python314.dll) the modules import from. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#if defined(_MSC_VER) && !defined(Py_NO_LINK_LIB) && !defined(Py_BUILD_CORE)
#pragma comment(lib, "python314.lib")
#endif

/* LLP64: long is 32 bits, pointers and Py_ssize_t 64. */
typedef __int64 Py_ssize_t;
#define PY_SSIZE_T_MAX LLONG_MAX
#define HAVE_PY_SSIZE_T 1
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_LARGEFILE_SUPPORT
#define PY_DWORD_MAX 4294967295U
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1
#define PY_SUPPORT_TIER 1

#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_CLOCK 1
#define HAVE_STRFTIME 1
#define HAVE_TZNAME 1
#define HAVE_PUTENV 1

#define Py_SOCKET_FD_CAN_BE_GE_FD_SETSIZE

#endif /* !Py_CONFIG_H */
