# Windows x64 build made on Linux with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64-posix), used by tools/foreign.sh: it checks what GCC's
# front end, Windows' headers and the C runtime's macros say about the code.
# Users on Windows build with MSVC, whose own front end stays unchecked here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# There is no Windows interpreter to ask: tools/foreign.sh passes Python's
# headers (ZETADESK_PYTHON_INCLUDE, with the stand-in pyconfig.h), the import
# library it made for python314.dll (ZETADESK_PYTHON_IMPLIB), and what the
# interpreter would say for the helper program (ZETADESK_PYTHON_FACTS).
set(Python_INCLUDE_DIR ${ZETADESK_PYTHON_INCLUDE})
set(Python_LIBRARY ${ZETADESK_PYTHON_IMPLIB})
set(Python_SOABI cp314-win_amd64 CACHE STRING "")  # FindPython unsets the plain variable

# No MinGW runtime DLL (libstdc++, libgcc, winpthread) beside what is built:
# a Windows machine has none of them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
