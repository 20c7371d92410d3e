// GET /api/config and POST /api/config: read and update the configuration
// document kept by the host (utils.load_config / utils.save_config).
#include "opsdeck.h"

namespace opsdeck {
namespace {

using namespace mf;

// Two overlapping updates must not lose each other's keys: the load, merge
// and save of one update happen while no other update of this process is
// between its own load and save.  A native mutex, so the module namespace
// carries no extra name.
PyMutex update_lock{};

// A body that would leave the saved document unusable is refused before
// anything is saved.  A token holding a line break or NUL would inject
// lines into git's credential protocol; allowed_hosts is read by the request
// guard.  The messages never quote the token.
void check_update(const Ref &data, const Ref &new_token) {
    // git is handed the token as text: a number or a list would reach it as
    // its printed form.  null stays allowed (it clears the token).
    if (new_token.get() != Py_None && !PyUnicode_Check(new_token.get()))
        raise(PyExc_ValueError, "github_token must be a string");
    if (PyUnicode_Check(new_token.get())) {
        for (Py_UCS4 c : {U'\r', U'\n', U'\0'}) {
            Py_ssize_t at = PyUnicode_FindChar(new_token.get(), c, 0, PyUnicode_GET_LENGTH(new_token.get()), 1);
            if (at == -2) fail();
            if (at >= 0) raise(PyExc_ValueError, "github_token must not contain a line break (CR, LF) or NUL");
        }
    }
    // Every restart hands the workspace to the successor as its environment
    // and working tree: anything but a path string would stop it at start.
    int has = PySequence_Contains(data.get(), "workspace"_id);
    if (has < 0) fail();
    if (has) {
        Ref workspace = Ref::steal(PyObject_GetItem(data.get(), "workspace"_id));
        if (!PyUnicode_Check(workspace.get()) || PyUnicode_GET_LENGTH(workspace.get()) == 0)
            raise(PyExc_ValueError, "workspace must be a non-empty string");
    }
    has = PySequence_Contains(data.get(), "allowed_hosts"_id);
    if (has < 0) fail();
    if (!has) return;
    Ref names = Ref::steal(PyObject_GetItem(data.get(), "allowed_hosts"_id));
    bool ok = PyList_Check(names.get());
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(names.get()); ++i)
        ok = PyUnicode_Check(PyList_GET_ITEM(names.get(), i));
    if (!ok) raise(PyExc_ValueError, "allowed_hosts must be a list of strings");
}

Site get_config_site{"get_config", __LINE__};
Site update_config_site{"update_config", __LINE__};

}  // namespace

PyObject *get_config(PyObject *, PyObject *) {
    return boundary(get_config_site, [] {
        auto [load_config] = import_from("utils"_id, "load_config"_id);
        return jsonify(call(load_config));
    });
}

PyObject *update_config(PyObject *, PyObject *) {
    return boundary(update_config_site, [] {
        auto [save_config, load_config] = import_from("utils"_id, "save_config"_id, "load_config"_id);
        Ref data = attr(global("request"_id), "json"_id);

        Ref config, new_token, token_changed;
        {
            Locked held(update_lock);
            config = call(load_config);
            Ref old_token = call_method(config, "get"_id, "github_token"_id, ""_id);
            new_token = call_method(data, "get"_id, "github_token"_id, Py_None);
            // The raw `!=`: no trimming, folding or conversion of either side.
            token_changed = new_token.get() == Py_None
                                ? boolean(false)
                                : Ref::steal(PyObject_RichCompare(new_token.get(), old_token.get(), Py_NE));
            check_update(data, new_token);
            call_method(config, "update"_id, data);
            // Before the save, so that a workspace that cannot be created is
            // never stored (a restart would start a server that dies at once).
            // Recreated on every update, also when the body does not name it.
            if (truthy(call_method(config, "get"_id, "workspace"_id))) {
                Ref path = Ref::steal(PyObject_GetItem(config.get(), "workspace"_id));
                call_kw(attr(global("os"_id), "makedirs"_id), {path.get()}, {{"exist_ok"_id, Py_True}});
            }
            call(save_config, config);
        }

        Ref projects_refreshed = integer(0);
        if (truthy(token_changed)) {
            Ref error = catch_ordinary([&] {
                auto [refresh] = import_from("routes.git"_id, "_refresh_all_project_git_auth"_id);
                projects_refreshed = call(refresh, new_token);
            });
            if (error) {
                Ref line = Ref::steal(PyUnicode_FromFormat(
                    "[config] warning: failed to refresh project git auth: %S", error.get()));
                call(global("print"_id), line);
            }
        }

        return jsonify(dict({{"ok"_id, Py_True},
                             {"token_changed"_id, token_changed.get()},
                             {"projects_refreshed"_id, projects_refreshed.get()}}));
    });
}

}  // namespace opsdeck
