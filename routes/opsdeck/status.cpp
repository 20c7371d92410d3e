// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site server_status_site{"server_status", __LINE__};
}  // namespace

PyObject *server_status(PyObject *, PyObject *) {
    return mf::boundary(server_status_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "server_status is not built yet");
    });
}

}  // namespace opsdeck
