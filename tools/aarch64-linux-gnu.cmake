# Cross build for aarch64 Linux (Termux's and the ARM servers' ABI), used by
# tools/cross.sh: Debian's cross compiler with its own C library, Python's
# headers and libpython from the arm64 root mounted at /sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(ZETADESK_TARGET_ROOT /sysroot)

# Libraries and headers only from the arm64 root; build programs from here.
set(CMAKE_FIND_ROOT_PATH ${ZETADESK_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# FindPython asks the target's own interpreter, run by qemu-user (mounted in
# by tools/cross.sh), for its include directory, extension suffix and
# prefix.  That needs policy CMP0190 NEW, which the configure step passes
# (-DCMAKE_POLICY_DEFAULT_CMP0190=NEW: it is read before this file); without
# it FindPython does not ask a cross interpreter and the modules lose their
# ABI tag.
set(Python_EXECUTABLE ${ZETADESK_TARGET_ROOT}/usr/bin/python3.14)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L ${ZETADESK_TARGET_ROOT})
# Where the program finds the standard library on the target (Debian's python3.14).
set(ZETADESK_PYTHON_HOME /usr)
# Debian's pyconfig.h includes its multiarch twin <aarch64-linux-gnu/python3.14/
# pyconfig.h>: search the root's include directory too, but after the cross
# compiler's own C library headers.
set(CMAKE_CXX_FLAGS_INIT "-idirafter ${ZETADESK_TARGET_ROOT}/usr/include")
# libpython's own dependencies (libz, libexpat) live in the arm64 root.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${ZETADESK_TARGET_ROOT}/usr/lib/aarch64-linux-gnu")
