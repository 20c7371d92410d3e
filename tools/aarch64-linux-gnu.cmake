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

# FindPython asks the target's own interpreter (run by qemu) for its include
# directory, extension suffix and prefix.
set(Python_EXECUTABLE ${CMAKE_CURRENT_LIST_DIR}/cross-python)
# libpython's own dependencies (libz, libexpat) live in the arm64 root.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${ZETADESK_TARGET_ROOT}/usr/lib/aarch64-linux-gnu")
