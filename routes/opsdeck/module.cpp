// Module body and route table of routes.opsdeck; GET /api/health.
#include "opsdeck.h"

namespace opsdeck {
namespace {

using namespace mf;

struct Route {
    const char *method;
    const char *rule;
    bool wrapped;  // passed through utils.handle_error before the route decorator
    PyMethodDef view;
};

// Registration order is the order Flask matches rules in; keep it.
Route routes[] = {
    {"GET", "/api/health", false, {"health_check", health_check, METH_NOARGS, "health_check()"}},
    {"GET", "/api/config", true, {"get_config", get_config, METH_NOARGS, "get_config()"}},
    {"POST", "/api/config", true, {"update_config", update_config, METH_NOARGS, "update_config()"}},
    {"GET", "/api/server/status", true,
     {"server_status", server_status, METH_NOARGS,
      "server_status()\n\nReturns server uptime, version, process info, memory usage, connected "
      "processes count."}},
    {"POST", "/api/server/restart", true,
     {"server_restart", server_restart, METH_NOARGS,
      "server_restart()\n\nRestart the Flask server by spawning a new process and exiting current."}},
    {"POST", "/api/server/logs", true,
     {"server_logs", server_logs, METH_NOARGS,
      "server_logs()\n\nReturns last N lines of server output log."}},
    {"GET", "/api/server/logs/stream", false,
     {"server_logs_stream", server_logs_stream, METH_NOARGS,
      "server_logs_stream()\n\nSSE stream of server log output in real-time."}},
    {"GET", "/api/system/info", false, {"system_info", system_info, METH_NOARGS, "system_info()"}},
    {"GET", "/api/platform/info", true,
     {"platform_info", platform_info, METH_NOARGS,
      "platform_info()\n\nReturn platform info for frontend to adapt shell/terminal behavior."}},
};

void body() {
    for (PyObject *name : {"os"_id, "sys"_id, "json"_id, "subprocess"_id, "time"_id, "threading"_id})
        bind_import(name);
    bind_from("datetime"_id, {"datetime"_id, "timezone"_id});
    bind_from("flask"_id, {"Blueprint"_id, "jsonify"_id, "request"_id, "Response"_id});
    bind_from("utils"_id, {"handle_error"_id, "load_config"_id, "WORKSPACE"_id, "SERVER_DIR"_id,
                           "PORT"_id, "HOST"_id, "CONFIG_DIR"_id, "running_processes"_id,
                           "_log_buffer"_id, "_log_lock"_id, "log_write"_id});

    for (Original *o : originals::all) o->capture();

    set_global("bp"_id, call(global("Blueprint"_id), "opsdeck"_id, global("__name__"_id)));
    set_global("SERVER_START_TIME"_id, call_method(global("time"_id), "time"_id));
    set_global("SERVER_VERSION"_id, "2.0.0"_id);

    for (Route &route : routes) {
        // @bp.route(rule, methods=[method]) [@handle_error] def view(): ...
        Ref methods = list({str(route.method).get()});
        Ref decorator = call_kw(attr(global("bp"_id), "route"_id), {str(route.rule).get()},
                                {{"methods"_id, methods.get()}});
        Ref wrapper = route.wrapped ? global("handle_error"_id) : Ref();
        Ref view = function(&route.view);
        if (wrapper) view = call(wrapper, view);
        set_global(intern(route.view.ml_name), call(decorator, view));
    }
    register_guard();
}

Site health_site{"health_check", __LINE__};

}  // namespace

PyObject *health_check(PyObject *, PyObject *) {
    return boundary(health_site, [] {
        return jsonify(dict({{"status"_id, "ok"_id}, {"version"_id, "1.0.0"_id},
                             {"port"_id, global("PORT"_id).get()}}));
    });
}

}  // namespace opsdeck

const mf::ModuleInfo mf::this_module = {
    .short_name = "opsdeck",
    .full_name = "routes.opsdeck",
    .source_path = "routes/opsdeck",
    .doc = "\nZetaDesk - Server Management API routes.\n",
    .body = opsdeck::body,
};

PyMODINIT_FUNC PyInit_opsdeck(void) { return PyModuleDef_Init(mf::definition()); }
