// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site server_logs_site{"server_logs", __LINE__};
}  // namespace

PyObject *server_logs(PyObject *, PyObject *) {
    return mf::boundary(server_logs_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "server_logs is not built yet");
    });
}

}  // namespace opsdeck
