// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site server_logs_stream_site{"server_logs_stream", __LINE__};
}  // namespace

PyObject *server_logs_stream(PyObject *, PyObject *) {
    return mf::boundary(server_logs_stream_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "server_logs_stream is not built yet");
    });
}

}  // namespace opsdeck
