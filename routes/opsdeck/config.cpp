// Not built yet: each view raises NotImplementedError until its endpoint lands.
#include "opsdeck.h"

namespace opsdeck {
namespace {
mf::Site get_config_site{"get_config", __LINE__};
mf::Site update_config_site{"update_config", __LINE__};
}  // namespace

PyObject *get_config(PyObject *, PyObject *) {
    return mf::boundary(get_config_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "get_config is not built yet");
    });
}

PyObject *update_config(PyObject *, PyObject *) {
    return mf::boundary(update_config_site, []() -> mf::Ref {
        mf::raise(PyExc_NotImplementedError, "update_config is not built yet");
    });
}

}  // namespace opsdeck
