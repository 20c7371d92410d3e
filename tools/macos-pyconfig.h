/* Stands in for the pyconfig.h of a CPython 3.14 macOS installation, in
 * tools/foreign.sh's compile-only build for macOS made on Linux: Debian's
 * x86-64 configuration (LP64 like both macOS targets; copied beside this
 * file as linux-lp64-pyconfig.h), less what CPython's configure never
 * defines on Darwin, whose headers would then hide their BSD and Mach
 * interfaces.  Nothing built with it is linked or run.
 */
#ifndef ZETADESK_MACOS_PYCONFIG_H
#define ZETADESK_MACOS_PYCONFIG_H
#if !defined(__APPLE__)
#error "this pyconfig.h stands in for macOS's only"
#endif
#include "linux-lp64-pyconfig.h"
#undef _POSIX_C_SOURCE
#undef _XOPEN_SOURCE
#undef _XOPEN_SOURCE_EXTENDED
#endif
