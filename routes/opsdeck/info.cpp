// GET /api/system/info and GET /api/platform/info: what the server runs on.
#include "opsdeck.h"

namespace opsdeck {
namespace {

using namespace mf;

Site system_info_site{"system_info", __LINE__};
Site platform_info_site{"platform_info", __LINE__};

// The kernel line of `uname -a`; a failure or time-out just leaves it out.
void add_uname(const Ref &info) {
    catch_ordinary([&] {
        Ref run = attr(global("subprocess"_id), "run"_id);
        Ref command = str("uname -a");
        Ref timeout = integer(5);
        Ref result = call_kw(run, {command.get()},
                             {{"shell"_id, Py_True},
                              {"capture_output"_id, Py_True},
                              {"text"_id, Py_True},
                              {"timeout"_id, timeout.get()},
                              {"encoding"_id, "utf-8"_id},
                              {"errors"_id, "replace"_id}});
        Ref zero = integer(0);
        if (equal(attr(result, "returncode"_id).get(), zero.get()))
            set_item(info.get(), "uname"_id, call_method(attr(result, "stdout"_id), "strip"_id).get());
    });
}

}  // namespace

PyObject *system_info(PyObject *, PyObject *) {
    return boundary(system_info_site, [] {
        auto [load_config, is_windows, platform_name, platform_detail, is_termux] =
            import_from("utils"_id, "load_config"_id, "IS_WINDOWS"_id, "PLATFORM_NAME"_id,
                        "PLATFORM_DETAIL"_id, "IS_TERMUX"_id);
        // Braced lists evaluate left to right: the members in their order.
        Ref info = dict({
            {"platform"_id, platform_name.get()},
            {"platform_detail"_id, platform_detail.get()},
            {"is_windows"_id, is_windows.get()},
            {"is_termux"_id, is_termux.get()},
            {"workspace"_id, workspace_setting(load_config).get()},
            {"pid"_id, current_pid().get()},
            {"server_version"_id, global("SERVER_VERSION"_id).get()},
        });
        if (!truthy(is_windows)) add_uname(info);
        return jsonify(info);
    });
}

PyObject *platform_info(PyObject *, PyObject *) {
    return boundary(platform_info_site, [] {
        auto [is_windows, is_termux, is_macos, platform_name, get_default_shell, get_default_compiler] =
            import_from("utils"_id, "IS_WINDOWS"_id, "IS_TERMUX"_id, "IS_MACOS"_id, "PLATFORM_NAME"_id,
                        "get_default_shell"_id, "get_default_compiler"_id);
        // `not IS_WINDOWS and not IS_MACOS`: the second flag is tested only if needed.
        const bool is_linux = !truthy(is_windows) && !truthy(is_macos);
        Ref shell = call(get_default_shell);
        Ref compiler = call(get_default_compiler);
        PyObject *prompt = truthy(is_windows) ? ">"_id : "$"_id;
        return jsonify(dict({
            {"is_windows"_id, is_windows.get()},
            {"is_macos"_id, is_macos.get()},
            {"is_linux"_id, is_linux ? Py_True : Py_False},
            {"is_termux"_id, is_termux.get()},
            {"platform"_id, platform_name.get()},
            {"default_shell"_id, shell.get()},
            {"default_compiler"_id, compiler.get()},
            {"shell_prompt"_id, prompt},
        }));
    });
}

}  // namespace opsdeck
