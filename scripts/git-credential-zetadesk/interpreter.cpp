// Finding the interpreter of our own installation, and running it on the
// module when its library cannot be loaded.
//
// The program is found in one of these places, and its interpreter with it:
//  - the tree it was built in: bin/git-credential-zetadesk.python, written
//    by the build, names the tree's interpreter;
//  - an environment's scripts directory holding the interpreter itself
//    (a virtual environment, a prefix such as /usr/local or Termux's);
//  - a scripts directory without one (pip's --user scheme, Debian's
//    /usr/local): the installer wrote the environment's interpreter into the
//    first line of the console scripts it installed beside us.
// libpython then lies in the installation's base prefix, where this kind of
// Python puts it (LIBPYTHON_PATHS); for a virtual environment that prefix is
// found through pyvenv.cfg's `home`, the way the interpreter finds it.
#include "interpreter.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <initializer_list>
#include <windows.h>
#else
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef PYTHON_NAME
#error "PYTHON_NAME must give the interpreter's file name (python3.14)"
#endif
#ifndef LIBPYTHON_PATHS
#error "LIBPYTHON_PATHS must list libpython's places relative to the base prefix"
#endif

namespace interpreter {
namespace {

constexpr const char *tree_record = "git-credential-zetadesk.python";
constexpr const char *console_scripts[] = {"zetadesk-server", "zetadesk"};

// ASCII-only, case-insensitive: pyvenv.cfg's keys.
bool same_word(const char *text, std::size_t len, const char *word) {
    if (len != std::strlen(word)) return false;
    for (std::size_t i = 0; i < len; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

bool is_absolute(const char *path) {
#if defined(_WIN32)
    return (path[0] && path[1] == ':' && (path[2] == '/' || path[2] == '\\')) ||
           (path[0] == '/' && path[1] == '/') || (path[0] == '\\' && path[1] == '\\');
#else
    return path[0] == '/';
#endif
}

// `a` (its first `a_len` bytes) followed by `b`; false when it does not fit.
bool join(char (&out)[path_max], const char *a, std::size_t a_len, const char *b) {
    const std::size_t b_len = std::strlen(b);
    if (a_len + b_len >= path_max) return false;
    std::memmove(out, a, a_len);
    std::memcpy(out + a_len, b, b_len + 1);
    return true;
}

// Length of `path` without its last component (the directory, with its
// trailing separator); 0 when there is no separator.
std::size_t dir_length(const char *path, std::size_t len) {
    while (len > 0 && path[len - 1] != '/' && path[len - 1] != '\\') --len;
    return len;
}

#if defined(_WIN32)
bool widen(const char *path, wchar_t (&out)[path_max]) {
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, out, int(path_max)) > 0;
}
#endif

bool is_file(const char *path, bool program) {
#if defined(_WIN32)
    (void)program;
    wchar_t wide[path_max];
    if (!widen(path, wide)) return false;
    const DWORD attrs = GetFileAttributesW(wide);
    return attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && (!program || access(path, X_OK) == 0);
#endif
}

// The start of a small text file, NUL-terminated; false when unreadable.
bool read_head(const char *path, char *buf, std::size_t cap) {
#if defined(_WIN32)
    wchar_t wide[path_max];
    std::FILE *f = widen(path, wide) ? _wfopen(wide, L"rb") : nullptr;
#else
    std::FILE *f = std::fopen(path, "rb");
#endif
    if (!f) return false;
    const std::size_t n = std::fread(buf, 1, cap - 1, f);
    std::fclose(f);
    buf[n] = '\0';
    return true;
}

// Copies the text up to the first of `stops` (or the end) into `out`.
bool take_until(const char *text, const char *stops, char (&out)[path_max]) {
    const std::size_t n = std::strcspn(text, stops);
    if (n == 0 || n >= path_max) return false;
    std::memcpy(out, text, n);
    out[n] = '\0';
    return true;
}

#if !defined(_WIN32)  // Windows' console scripts are launchers, not #! text
// Whether the last component of `path` names a Python interpreter: not
// "#!/usr/bin/env python3", whose env would take none of its options.
bool names_python(const char *path) {
    return std::strncmp(path + dir_length(path, std::strlen(path)), "python", 6) == 0;
}

// The interpreter a console script starts: "#!/path/python" or, for a path
// with blanks or too long for the kernel, pip's two-line form
//   #!/bin/sh
//   '''exec' "/path with blanks/python" "$0" "$@"
bool script_interpreter(const char *script, char (&out)[path_max]) {
    char head[2 * path_max];
    if (!read_head(script, head, sizeof head) || std::strncmp(head, "#!", 2) != 0) return false;
    const char *p = head + 2 + std::strspn(head + 2, " \t");
    constexpr const char exec_line[] = "\n'''exec' ";
    // "#!/bin/sh", or Termux's "#!$PREFIX/bin/sh" (Android has no /bin/sh).
    const std::size_t first = std::strcspn(p, " \t\r\n");
    if (first >= 3 && std::strncmp(p + first - 3, "/sh", 3) == 0 && std::strchr("\r\n", p[first]) && p[first]) {
        const char *line = std::strstr(p, exec_line);
        if (!line) return false;
        p = line + sizeof exec_line - 1;
        if (*p == '"') return take_until(p + 1, "\"\n", out) && names_python(out);
    }
    return take_until(p, " \t\r\n", out) && names_python(out);
}
#endif

// The interpreter the build recorded beside the program in its tree.
bool tree_interpreter(const char *dir, std::size_t dir_len, char (&out)[path_max]) {
    char record[path_max], head[path_max];
    return join(record, dir, dir_len, tree_record) && read_head(record, head, sizeof head) &&
           take_until(head, "\r\n", out);
}

// pyvenv.cfg's `home` (the base interpreter's directory) when `exe` lies in
// a virtual environment: beside it or one directory up, as the interpreter
// itself looks.
bool venv_home(const char *exe, char (&home)[path_max]) {
    std::size_t len = dir_length(exe, std::strlen(exe));
    for (int up = 0; up < 2 && len > 0; ++up) {
        char cfg[path_max], text[16384];
        if (join(cfg, exe, len, "pyvenv.cfg") && read_head(cfg, text, sizeof text)) {
            for (char *line = text; line && *line;) {
                char *end = std::strchr(line, '\n');
                if (end) *end = '\0';
                char *eq = std::strchr(line, '=');
                if (eq) {
                    char *key_end = eq;
                    while (line < key_end && std::strchr(" \t", *line)) ++line;
                    while (key_end > line && std::strchr(" \t\r", key_end[-1])) --key_end;
                    char *value = eq + 1 + std::strspn(eq + 1, " \t");
                    std::size_t n = std::strlen(value);
                    while (n > 0 && std::strchr(" \t\r", value[n - 1])) --n;
                    value[n] = '\0';
                    if (same_word(line, std::size_t(key_end - line), "home") && n > 0 && n < path_max) {
                        std::memcpy(home, value, n + 1);
                        return true;
                    }
                }
                line = end ? end + 1 : nullptr;
            }
            return false;  // a venv without home: let the interpreter complain
        }
        len = dir_length(exe, len - 1);
    }
    return false;
}

// The base prefix of the installation `exe` belongs to: for a virtual
// environment the parent of `home` (on Windows `home` itself, where
// python.exe sits at the top), else the parent of the directory that holds
// the interpreter's real file.
bool base_prefix(const char *exe, char (&out)[path_max]) {
    char home[path_max];
    if (venv_home(exe, home)) {
#if defined(_WIN32)
        return join(out, home, std::strlen(home), "/");
#else
        std::size_t len = std::strlen(home);
        while (len > 1 && home[len - 1] == '/') --len;
        len = dir_length(home, len);
        return len > 0 && join(out, home, len, "");
#endif
    }
#if defined(_WIN32)
    return join(out, exe, dir_length(exe, std::strlen(exe)), "");
#else
    char real[PATH_MAX];
    if (!realpath(exe, real)) return false;
    std::size_t len = dir_length(real, std::strlen(real));
    len = len > 1 ? dir_length(real, len - 1) : 0;
    return len > 0 && join(out, real, len, "");
#endif
}

// The first existing libpython among LIBPYTHON_PATHS below `base`.
void find_library(const char *base, char (&out)[path_max]) {
    out[0] = '\0';
    const std::size_t base_len = std::strlen(base);
    for (const char *rel = LIBPYTHON_PATHS; *rel;) {
        const char *end = std::strchr(rel, ':');
        const std::size_t len = end ? std::size_t(end - rel) : std::strlen(rel);
        char candidate[path_max];
        if (base_len + len < path_max) {
            std::memcpy(candidate, base, base_len);
            std::memcpy(candidate + base_len, rel, len);
            candidate[base_len + len] = '\0';
            if (is_file(candidate, false)) {
                std::memcpy(out, candidate, base_len + len + 1);
                return;
            }
        }
        rel += end ? len + 1 : len;
    }
}

}  // namespace

bool find(const char *dir, Found &found, const char *argv0) {
    const std::size_t dir_len = std::strlen(dir);
    char candidate[path_max];
    bool ok = tree_interpreter(dir, dir_len, candidate) && is_absolute(candidate) && is_file(candidate, true);
    if (!ok) ok = join(candidate, dir, dir_len, PYTHON_NAME) && is_file(candidate, true);
#if defined(_WIN32)
    // pip puts data files under <prefix>/bin, python.exe in <prefix>/Scripts
    // (a virtual environment) or at the top (an installation).
    for (const char *rel : {"../Scripts/" PYTHON_NAME, "../" PYTHON_NAME})
        if (!ok) ok = join(candidate, dir, dir_len, rel) && is_file(candidate, true);
#else
    for (const char *script : console_scripts) {
        char path[path_max];
        if (!ok)
            ok = join(path, dir, dir_len, script) && script_interpreter(path, candidate) && is_absolute(candidate) &&
                 is_file(candidate, true);
    }
#endif
    if (!ok) {
        std::fprintf(stderr, "%s: no %s found for this installation in %s\n", argv0, PYTHON_NAME, dir);
        return false;
    }
    std::memcpy(found.executable, candidate, std::strlen(candidate) + 1);
    char base[path_max];
    if (base_prefix(found.executable, base))
        find_library(base, found.library);
    else
        found.library[0] = '\0';
    return true;
}

#if defined(_WIN32)

// Windows' CPython always comes with its DLL, which find() located.
int run(const char *python, const char *, int, char **, const char *argv0) {
    std::fprintf(stderr, "%s: no loadable %s for %s\n", argv0, LIBPYTHON_PATHS, python);
    return 1;
}

#else

namespace {

// What main.cpp does with the embedded interpreter, as the interpreter's own
// program runs it: the module created and executed as __main__, sys.argv
// exactly our command line, request and answer UTF-8 and strict, errors
// reported by sys.excepthook without this runner's frame, stdout flushed
// and its failure counted, no teardown unless something registered work
// for exit.
constexpr const char runner[] = R"(import atexit, os, sys, _imp
from importlib.machinery import ExtensionFileLoader, ModuleSpec
path = sys.argv[1]
sys.argv = sys.argv[2:] or [""]
sys.stdin.reconfigure(errors="strict")
sys.stdout.reconfigure(errors="strict")
name = "scripts.git_credential_zetadesk"
spec = ModuleSpec(name, ExtensionFileLoader(name, path), origin=path)
spec.has_location = True
status = 0
try:
    module = _imp.create_dynamic(spec)
    module.__name__, module.__spec__ = "__main__", spec
    sys.modules["__main__"] = module
    _imp.exec_dynamic(module)
except BaseException as e:
    e.__traceback__ = e.__traceback__.tb_next
    sys.excepthook(type(e), e, e.__traceback__)
    status = 1
try:
    sys.stdout.flush()
except BaseException as e:
    sys.excepthook(type(e), e, None)
    status = 1
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
try:
    sys.stderr.flush()
except BaseException:
    pass
if atexit._ncallbacks():
    sys.exit(status)
os._exit(status)
)";

}  // namespace

int run(const char *python, const char *module, int argc, char **argv, const char *argv0) {
    // -I: no environment variable, user site or current directory changes
    // what is imported; -S: no site, as the embedded interpreter runs.
    const char *fixed[] = {python, "-I", "-S", "-X", "utf8", "-c", runner, module};
    constexpr int n_fixed = int(sizeof fixed / sizeof fixed[0]);
    char **args = static_cast<char **>(std::calloc(std::size_t(n_fixed + argc + 1), sizeof(char *)));
    if (!args) {
        std::fprintf(stderr, "%s: %s\n", argv0, std::strerror(errno));
        return 1;
    }
    for (int i = 0; i < n_fixed; ++i) args[i] = const_cast<char *>(fixed[i]);
    for (int i = 0; i < argc; ++i) args[n_fixed + i] = argv[i];
    execv(python, args);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", argv0, python, std::strerror(errno));
    std::free(args);
    return 1;
}

#endif

}  // namespace interpreter
