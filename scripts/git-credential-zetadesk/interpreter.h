// The interpreter that answers a handed-over request: that of the
// environment the program is installed in, or of the tree it was built in,
// found at run time from the program's own directory.  Nothing is ever
// looked for by a bare name or relative to the current directory (git runs
// helpers at a repository's top level).
#pragma once

#include <cstddef>

namespace interpreter {

#if defined(_WIN32)
constexpr std::size_t path_max = 32768;  // the longest path Windows' wide calls take
#else
constexpr std::size_t path_max = 4096;
#endif

struct Found {
    // Absolute, as found: a virtual environment's bin/python3.14 stays
    // that link, so that the interpreter itself sees the environment
    // (pyvenv.cfg) and sets sys.prefix and sys.base_prefix as it would.
    char executable[path_max];
    // Absolute path of the installation's libpython; empty when there is
    // none to load (no shared library, or not where this layout puts it).
    char library[path_max];
};

// `dir`: the directory of the program's own file, ending in '/'.  False,
// with a message on stderr, when no interpreter is found.
bool find(const char *dir, Found &out, const char *argv0);

// Runs `python` on the helper module at `module` as its main program, with
// our command line, standard streams and exit status: for an interpreter
// whose libpython cannot be loaded.  Returns only on failure (1, with a
// message).
int run(const char *python, const char *module, int argc, char **argv, const char *argv0);

}  // namespace interpreter
