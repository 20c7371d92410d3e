// scripts.git_credential_zetadesk: the git credential helper module.
//
// git runs the helper with an action (get, store, erase) and a credential
// description on stdin.  Only get answers, and only for GitHub hosts, with
// the token the IDE saved in ~/.zetadesk/config.json.  The program
// git-credential-zetadesk (main.cpp) runs this module as __main__.
#include "modframe.h"

#include <cstddef>

#include "host_rule.h"
#include "no_home.h"

namespace {

using namespace mf;

// Whether git asks about GitHub itself or one of its subdomains.  A plain
// substring test would hand the token to "github.com.evil.example" or
// "evilgithub.com", so the name must match whole: surrounding whitespace and
// one ":<port>" are dropped, then it must be github.com or end in
// .github.com, ASCII case-insensitively.  What is left must be a plain DNS
// name: userinfo ("evil@x.github.com"), underscores or escapes are not
// GitHub's and may be read differently by whatever made the request.
bool is_github_host(PyObject *host) {
    if (!PyUnicode_Check(host)) return false;
    Ref stripped = call_method(host, "strip"_id);
    PyObject *s = stripped.get();
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const auto at = [&](std::size_t i) -> char32_t {
        return PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i));
    };
    return host_rule::is_github_host(at, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
}

// The token goes only over TLS: git says "https" or, from older callers,
// nothing at all.  The value is stripped like the host, for CRLF input.
bool is_https(PyObject *protocol) {
    if (protocol == Py_None) return true;
    if (!PyUnicode_Check(protocol)) return false;
    return equal(call_method(protocol, "strip"_id).get(), "https"_id);
}

// A printed line break or NUL would end the password line early and let the
// rest of the token pose as further attributes of git's protocol.
bool breaks_protocol(PyObject *text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_UCS4 c : {U'\r', U'\n', U'\0'}) {
        Py_ssize_t at = PyUnicode_FindChar(text, c, 0, n, 1);
        if (at == -2) fail();
        if (at >= 0) return true;
    }
    return false;
}

// print(text, file=sys.stderr), unless stderr is gone: print() would then
// write to stdout, into git's protocol.
void warn(const char *text) {
    Ref stderr_ = attr(global("sys"_id), "stderr"_id);
    if (stderr_.get() == Py_None) return;
    call_kw(global("print"_id), {str(text).get()}, {{"file"_id, stderr_.get()}});
}

Site read_token_site{"_read_token", __LINE__};
PyObject *read_token(PyObject *, PyObject *) {
    return boundary(read_token_site, [] {
        if (global("CONFIG_PATH"_id).get() == Py_None) {
            catch_ordinary([] { warn(no_home_message); });
            return Ref::borrow(""_id);
        }
        Ref token;
        Ref caught = catch_ordinary([&] {
            Ref cfg;
            Ref file = call_kw(global("open"_id), {global("CONFIG_PATH"_id).get(), "r"_id},
                               {{"encoding"_id, "utf-8"_id}});
            with(file.get(), [&] { cfg = call_method(global("json"_id), "load"_id, file); });
            Ref value = call_method(cfg, "get"_id, "github_token"_id, ""_id);
            token = truthy(value) ? value : Ref::borrow(""_id);
        });
        // Whatever went wrong, git simply gets no answer from us.
        return caught ? Ref::borrow(""_id) : token;
    });
}

Site parse_input_site{"_parse_input", __LINE__};
PyObject *parse_input(PyObject *, PyObject *) {
    return boundary(parse_input_site, [] {
        Ref data = dict({});
        Ref stdin_ = attr(global("sys"_id), "stdin"_id);
        Ref lines = Ref::steal(PyObject_GetIter(stdin_.get()));
        Ref newline = str("\n");
        while (Ref raw_line = Ref::adopt(PyIter_Next(lines.get()))) {
            Ref line = call_method(raw_line, "rstrip"_id, newline);
            // A blank line ends the description; git may keep the pipe open.
            if (!truthy(line)) return data;
            int has_sep = PySequence_Contains(line.get(), "="_id);
            if (has_sep < 0) fail();
            if (!has_sep) continue;
            Ref parts = call_method(line, "partition"_id, "="_id);
            Ref key = call_method(Ref::steal(PySequence_GetItem(parts.get(), 0)), "strip"_id);
            Ref value = Ref::steal(PySequence_GetItem(parts.get(), 2));
            set_item(data.get(), key.get(), value.get());
        }
        if (PyErr_Occurred()) fail();
        return data;
    });
}

Site cmd_get_site{"cmd_get", __LINE__};
PyObject *cmd_get(PyObject *, PyObject *) {
    return boundary(cmd_get_site, [] {
        Ref data = call(global("_parse_input"_id));
        Ref host = call_method(data, "get"_id, "host"_id, ""_id);
        Ref protocol = call_method(data, "get"_id, "protocol"_id);
        // Other hosts never see the token; the file is not even opened.
        if (!is_https(protocol.get()) || !is_github_host(host.get())) return;
        Ref token = call(global("_read_token"_id));
        if (!truthy(token)) return;
        Ref formatted = Ref::steal(PyObject_Format(token.get(), nullptr));
        Ref print = global("print"_id);
        if (breaks_protocol(formatted.get())) {
            // Say why git gets nothing, without a word of the token.
            warn("git-credential-zetadesk: the saved github_token holds a line break or NUL and was not used");
            return;
        }
        Ref password = Ref::steal(PyUnicode_Concat(str("password=").get(), formatted.get()));
        call(print, str("username=x-access-token"));
        call(print, password);
        call(print);
    });
}

// The configuration file is the only place that holds the token, so there
// is nothing to remember or forget.
Site cmd_store_site{"cmd_store", __LINE__};
PyObject *cmd_store(PyObject *, PyObject *) {
    return boundary(cmd_store_site, [] {});
}

Site cmd_erase_site{"cmd_erase", __LINE__};
PyObject *cmd_erase(PyObject *, PyObject *) {
    return boundary(cmd_erase_site, [] {});
}

PyMethodDef functions[] = {
    {"_read_token", read_token, METH_NOARGS, "_read_token()"},
    {"_parse_input", parse_input, METH_NOARGS,
     "_parse_input()\n\nParse the key=value lines git sends on stdin."},
    {"cmd_get", cmd_get, METH_NOARGS, "cmd_get()"},
    {"cmd_store", cmd_store, METH_NOARGS, "cmd_store()"},
    {"cmd_erase", cmd_erase, METH_NOARGS, "cmd_erase()"},
};

// ~/.zetadesk/config.json, or None when the home directory is not an
// absolute path: git runs helpers inside the repository, so a relative HOME
// (or an empty one) would name a file the repository supplies.
Ref config_path() {
    Ref os = global("os"_id);
    Ref path = attr(os, "path"_id);
    // Where expanduser takes HOME as it stands.
    if (equal(attr(os, "name"_id).get(), "posix"_id)) {
        Ref home = call_method(attr(os, "environ"_id), "get"_id, "HOME"_id);
        if (home.get() != Py_None && !truthy(call_method(path, "isabs"_id, home))) return none();
    }
    Ref expanded = call_method(path, "expanduser"_id, str("~/.zetadesk/config.json"));
    return truthy(call_method(path, "isabs"_id, expanded)) ? expanded : none();
}

void body() {
    for (PyObject *name : {"sys"_id, "os"_id, "json"_id}) bind_import(name);
    set_global("CONFIG_PATH"_id, config_path());
    for (PyMethodDef &def : functions) set_global(intern(def.ml_name), function(&def));

    if (!equal(global("__name__"_id).get(), "__main__"_id)) return;
    Ref argv = attr(global("sys"_id), "argv"_id);
    Py_ssize_t argc = PyObject_Length(argv.get());
    if (argc < 0) fail();
    Ref action = argc > 1 ? Ref::steal(PySequence_GetItem(argv.get(), 1)) : Ref::borrow("get"_id);
    set_global("action"_id, action);
    if (equal(action.get(), "get"_id))
        call(global("cmd_get"_id));
    else if (equal(action.get(), "store"_id))
        call(global("cmd_store"_id));
    else if (equal(action.get(), "erase"_id))
        call(global("cmd_erase"_id));
}

}  // namespace

const mf::ModuleInfo mf::this_module = {
    .short_name = "git_credential_zetadesk",
    .full_name = "scripts.git_credential_zetadesk",
    .source_path = "scripts/git-credential-zetadesk",
    .doc = R"(ZetaDesk git credential helper.

Implements the git credential helper protocol: git runs the helper with an
action (get, store or erase) and writes key=value lines describing the
credential to its standard input.

On get for a GitHub host over https, the helper reads
~/.zetadesk/config.json and returns the saved github_token as the password,
with username=x-access-token (the user name GitHub expects for personal
access and OAuth tokens).  For any other host or protocol, or when no token
is saved, it answers nothing and git goes on to its other credential
sources; a saved token holding a line break or NUL is never handed out.

store and erase are no-ops, since the configuration file is always the
source of truth.  Every git invocation configured with this helper therefore
uses the token currently saved by the IDE, never one stored earlier.

Install (with git-credential-zetadesk on PATH):
    git config --global credential.helper zetadesk
or by its full path:
    git config --global credential.helper /path/to/git-credential-zetadesk
or, for absolute path resolution through the shell, with git's "!" form:
    git config --global credential.helper '!/path/to/git-credential-zetadesk'
)",
    .body = body,
};

PyMODINIT_FUNC PyInit_git_credential_zetadesk(void) { return PyModuleDef_Init(mf::definition()); }
