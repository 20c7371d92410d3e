// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site server_restart_site{"server_restart", __LINE__};
}  // namespace

PyObject *server_restart(PyObject *, PyObject *) {
    return mf::boundary(server_restart_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "server_restart is not built yet");
    });
}

}  // namespace opsdeck
